// One Foxglove client's outgoing messages: control first and never dropped, telemetry and pictures
// replaced by newer ones, log and bus bounded in bytes, and the message in flight untouched.
#include "web/foxglove_outbox.h"

#include <gtest/gtest.h>

namespace {

foxglove_outgoing_type data(const std::string& head, size_t payload_size)
{
    return {head, std::make_shared<const std::string>(payload_size, 'x'), true};
}

} // namespace

TEST(FoxgloveOutbox, OrderSlotsAndLimits)
{
    foxglove_outbox_class outbox;
    EXPECT_FALSE(outbox.start_next());
    outbox.set_camera(data("camera1", 10));
    EXPECT_TRUE(outbox.push_data(data("log1", 10)));
    outbox.set_telemetry(data("telemetry1", 10));
    EXPECT_TRUE(outbox.push_control("serverInfo"));
    outbox.set_telemetry(data("telemetry2", 10));

    ASSERT_TRUE(outbox.start_next());
    const foxglove_outgoing_type& flight = outbox.in_flight();
    EXPECT_EQ(flight.head, "serverInfo");
    EXPECT_FALSE(flight.binary);
    EXPECT_FALSE(outbox.start_next()) << "one write at a time";
    outbox.write_done();

    // While telemetry is in flight a newer one waits in the slot and replaces nothing being written.
    ASSERT_TRUE(outbox.start_next());
    EXPECT_EQ(outbox.in_flight().head, "telemetry2");
    outbox.set_telemetry(data("telemetry3", 10));
    EXPECT_EQ(outbox.in_flight().head, "telemetry2");
    outbox.write_done();

    std::vector<std::string> order;
    while (outbox.start_next()) {
        order.push_back(outbox.in_flight().head);
        outbox.write_done();
    }
    EXPECT_EQ(order, (std::vector<std::string>{"telemetry3", "log1", "camera1"}));

    for (size_t i = 0; i < foxglove_control_limit; i++)
        EXPECT_TRUE(outbox.push_control("c"));
    EXPECT_FALSE(outbox.push_control("one too many"));

    EXPECT_TRUE(outbox.push_data(data("big", foxglove_data_limit - 100)));
    EXPECT_FALSE(outbox.push_data(data("more", 200)));
    EXPECT_TRUE(outbox.push_data(data("small", 50)));
    EXPECT_EQ(outbox.dropped(), 1u);
    EXPECT_EQ(outbox.data_bytes(), foxglove_data_limit - 100 + 3 + 50 + 5);
}
