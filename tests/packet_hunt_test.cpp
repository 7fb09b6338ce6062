// Finding where packets begin in a stream joined mid-packet.
#include "bus/packet_hunt.h"

#include "bus_support.h"

#include <gtest/gtest.h>

#include <random>

using namespace bus_test;

// A board streaming camera pieces of picture-like bytes and now and then a controller reply, joined at
// every offset of its first packets and read 7 bytes at a time: the hunt starts at the next real packet.
TEST(PacketHunt, AStreamJoinedAnywhereIsTakenUpAtTheNextPacket)
{
    std::mt19937 random(7);
    std::vector<unsigned char> stream;
    std::vector<size_t> starts;
    for (int piece = 0; piece < 12; piece++) {
        std::vector<unsigned char> payload(piece % 4 == 3 ? 9 : 100 + random() % 150);
        for (unsigned char& byte : payload)
            byte = static_cast<unsigned char>(random());
        starts.push_back(stream.size());
        std::vector<unsigned char> packet = device_packet(piece % 4 == 3 ? 1 : 8, payload);
        stream.insert(stream.end(), packet.begin(), packet.end());
    }
    for (size_t cut = 1; cut < starts[4]; cut++) {
        packet_hunt hunt;
        size_t at = cut;
        while (at < stream.size() && !hunt.add(&stream[at], static_cast<int>(std::min<size_t>(7, stream.size() - at))))
            at += 7;
        size_t boundary = *std::lower_bound(starts.begin(), starts.end(), cut);
        ASSERT_EQ(hunt.skipped(), boundary - cut) << "joined at " << cut;
        ASSERT_TRUE(std::equal(hunt.aligned().begin(), hunt.aligned().end(), stream.begin() + static_cast<long>(boundary)));
    }
}

// A quiet line: the first whole packet heard is a start; the same packet after a stray byte needs another;
// noise is passed over, never held.
TEST(PacketHunt, AQuietLineStartsAtItsFirstAnswerButAStrayByteAsksForASecond)
{
    std::vector<unsigned char> reply = device_packet(1, {1, 2, 3, 4, 5, 6, 7, 8, 9}), noise(5000, 0xff);
    packet_hunt quiet, stray, hiss;
    EXPECT_FALSE(quiet.add(reply.data(), 5));
    EXPECT_TRUE(quiet.add(&reply[5], static_cast<int>(reply.size() - 5)));
    EXPECT_FALSE(stray.add(&noise[0], 1));
    EXPECT_FALSE(stray.add(reply.data(), static_cast<int>(reply.size())));
    EXPECT_TRUE(stray.add(reply.data(), static_cast<int>(reply.size())));
    EXPECT_EQ(stray.skipped(), 1u);
    EXPECT_FALSE(hiss.add(noise.data(), static_cast<int>(noise.size())));
    EXPECT_LT(hiss.aligned().size(), 512u);

    // A line that never yields a packet is said at 2 kB or after 2 s of bytes, then at most every 10 s.
    EXPECT_TRUE(hiss.stuck(100.0));
    EXPECT_FALSE(hiss.stuck(109.0));
    EXPECT_TRUE(hiss.stuck(110.0));
    packet_hunt slow;
    EXPECT_FALSE(slow.stuck(0.0)) << "nothing heard: the read time-out says so";
    slow.add(noise.data(), 100);
    EXPECT_FALSE(slow.stuck(0.5));
    EXPECT_TRUE(slow.stuck(2.5));
}
