// Finding where packets begin in a stream joined mid-packet.
#include "bus/packet_hunt.h"

#include "bus_support.h"

#include <gtest/gtest.h>

#include <random>

using namespace bus_test;

namespace {

// A board streaming camera pieces of picture-like bytes, with a controller reply now and then.
std::vector<unsigned char> streaming_board(std::vector<size_t>& starts)
{
    std::mt19937 random(7);
    std::vector<unsigned char> stream;
    for (int piece = 0; piece < 12; piece++) {
        std::vector<unsigned char> payload(piece % 4 == 3 ? 9 : 100 + random() % 150);
        for (unsigned char& byte : payload)
            byte = static_cast<unsigned char>(random());
        starts.push_back(stream.size());
        std::vector<unsigned char> packet = device_packet(piece % 4 == 3 ? 1 : 8, payload);
        stream.insert(stream.end(), packet.begin(), packet.end());
    }
    return stream;
}

} // namespace

// Joined anywhere in the first packets and fed as reads of 7 bytes, the hunt starts at the next real packet.
TEST(PacketHunt, AStreamJoinedAnywhereIsTakenUpAtTheNextPacket)
{
    std::vector<size_t> starts;
    std::vector<unsigned char> stream = streaming_board(starts);
    for (size_t cut = 1; cut < starts[4]; cut++) {
        packet_hunt hunt;
        size_t at = cut;
        while (at < stream.size() && !hunt.add(stream.data() + at, static_cast<int>(std::min<size_t>(7, stream.size() - at))))
            at += 7;
        size_t boundary = *std::lower_bound(starts.begin(), starts.end(), cut);
        ASSERT_LT(at, stream.size()) << "no start found after joining at " << cut;
        EXPECT_EQ(hunt.skipped(), boundary - cut) << "joined at " << cut;
        ASSERT_FALSE(hunt.aligned().empty());
        EXPECT_TRUE(std::equal(hunt.aligned().begin(), hunt.aligned().end(), stream.begin() + static_cast<long>(boundary)));
    }
}

// A quiet line: the first whole packet heard is a start; the same packet after a stray byte needs another.
TEST(PacketHunt, AQuietLineStartsAtItsFirstAnswerButAStrayByteAsksForASecond)
{
    std::vector<unsigned char> reply = device_packet(1, {1, 2, 3, 4, 5, 6, 7, 8, 9});
    packet_hunt quiet;
    EXPECT_FALSE(quiet.add(reply.data(), 5));
    EXPECT_TRUE(quiet.add(reply.data() + 5, static_cast<int>(reply.size() - 5)));
    EXPECT_EQ(quiet.skipped(), 0u);

    packet_hunt stray;
    const unsigned char noise = 0xd9;
    EXPECT_FALSE(stray.add(&noise, 1));
    EXPECT_FALSE(stray.add(reply.data(), static_cast<int>(reply.size())));
    EXPECT_TRUE(stray.add(reply.data(), static_cast<int>(reply.size())));
    EXPECT_EQ(stray.skipped(), 1u);
    EXPECT_EQ(stray.aligned().size(), 2 * reply.size());

    packet_hunt noise_only;  // a line of noise is passed over, never held
    std::vector<unsigned char> hiss(5000, 0xff);
    EXPECT_FALSE(noise_only.add(hiss.data(), static_cast<int>(hiss.size())));
    EXPECT_LT(noise_only.aligned().size(), 512u);
}
