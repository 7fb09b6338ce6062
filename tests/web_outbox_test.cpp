// One browser's outgoing messages: replies kept in order and never dropped, the newest state and picture
// replacing older ones, and the message in flight never touched.
#include "web/web_outbox.h"

#include <gtest/gtest.h>

namespace {

std::shared_ptr<const std::string> picture(const char* bytes)
{
    return std::make_shared<const std::string>(bytes);
}

// Sends everything waiting; returns the messages in the order written, binary ones marked with a "#".
std::vector<std::string> drain(web_outbox_class& outbox)
{
    std::vector<std::string> written;
    while (outbox.start_next()) {
        written.push_back((outbox.in_flight().binary ? "#" : "") + *outbox.in_flight().data);
        outbox.write_done();
    }
    return written;
}

} // namespace

TEST(WebOutbox, RepliesFirstThenTheNewestStateThenTheNewestPicture)
{
    web_outbox_class outbox;
    EXPECT_FALSE(outbox.start_next());
    outbox.set_frame(picture("jpeg 1"));
    outbox.set_state("state 1");
    outbox.set_frame(picture("jpeg 2"));
    outbox.set_state("state 2");
    EXPECT_TRUE(outbox.push_reply("reply 1"));
    EXPECT_TRUE(outbox.push_reply("reply 2"));
    EXPECT_EQ(drain(outbox), (std::vector<std::string>{"reply 1", "reply 2", "state 2", "#jpeg 2"}));
    EXPECT_FALSE(outbox.state_waiting());
    EXPECT_FALSE(outbox.frame_waiting());
}

TEST(WebOutbox, TheMessageInFlightIsNeverReplacedAndOnlyOneWriteRuns)
{
    web_outbox_class outbox;
    auto first = picture("jpeg 1");
    outbox.set_frame(first);
    ASSERT_TRUE(outbox.start_next());
    const std::string* sending = outbox.in_flight().data.get();
    first.reset();  // the camera's side lets go: the outbox still holds the bytes being written

    outbox.set_frame(picture("jpeg 2"));
    outbox.set_frame(picture("jpeg 3"));
    outbox.set_state("state");
    EXPECT_TRUE(outbox.writing());
    EXPECT_FALSE(outbox.start_next());
    EXPECT_EQ(outbox.in_flight().data.get(), sending);
    EXPECT_EQ(*outbox.in_flight().data, "jpeg 1");
    EXPECT_TRUE(outbox.in_flight().binary);
    outbox.write_done();
    EXPECT_EQ(drain(outbox), (std::vector<std::string>{"state", "#jpeg 3"}));
}

TEST(WebOutbox, RepliesAreCappedNotDropped)
{
    web_outbox_class outbox;
    for (size_t i = 0; i < web_reply_limit; i++)
        EXPECT_TRUE(outbox.push_reply("reply " + std::to_string(i)));
    EXPECT_FALSE(outbox.push_reply("one too many"));  // the caller closes the connection
    EXPECT_EQ(outbox.replies_waiting(), web_reply_limit);
    std::vector<std::string> written = drain(outbox);
    ASSERT_EQ(written.size(), web_reply_limit);
    EXPECT_EQ(written.front(), "reply 0");
    EXPECT_EQ(written.back(), "reply " + std::to_string(web_reply_limit - 1));
}
