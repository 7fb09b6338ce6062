// The cap on connections without the token and the slow-down of guessing.
#include "web/web_guard.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

// A full gate ends its oldest connection for each newcomer; those that left no longer count.
TEST(WebGate, ANewcomerToAFullGateDropsTheOldest)
{
    web_gate_class gate;
    std::vector<int> dropped;
    std::vector<uint64_t> tickets;
    for (int i = 0; i < web_gate_limit + 5; i++)
        tickets.push_back(gate.enter([&dropped, i] { dropped.push_back(i); }));
    EXPECT_EQ(dropped, (std::vector<int>{0, 1, 2, 3, 4}));
    EXPECT_EQ(gate.count(), web_gate_limit);
    gate.leave(tickets[5]);  // showed the token
    gate.leave(0);
    gate.leave(tickets[0]);  // already dropped
    EXPECT_EQ(gate.count(), web_gate_limit - 1);
    gate.enter([&dropped] { dropped.push_back(-1); });
    EXPECT_EQ(dropped.size(), 5u) << "room for one more";
    gate.enter([&dropped] { dropped.push_back(-2); });
    EXPECT_EQ(dropped.back(), 6) << "the oldest still waiting";
}

// Each row: at `time` the address gives a wrong token (w), the right one (r) or nothing (-); then whether
// it may try at once.
TEST(WebThrottle, AnAddressIsSlowedAfterRepeatedWrongTokensAndEachMinuteSaysHowMany)
{
    struct row_type {
        double time;
        char event;
        bool allowed;
    };
    const row_type rows[] = {
        {0.0, 'w', true}, {0.1, 'w', true}, {0.2, 'w', true}, {0.3, 'w', true}, {0.4, 'w', true},  // free
        {0.5, 'w', false}, {0.74, '-', false}, {0.75, '-', true},  // a quarter of a second
        {0.8, 'w', false}, {1.29, '-', false}, {1.31, '-', true},  // then half a second
        {2.0, 'w', false}, {2.99, '-', false}, {3.0, '-', true},   // then one
        {4.0, 'r', true},                                          // the right token forgives
        {5.0, 'w', true},
    };
    web_throttle_class throttle;
    int wrong = 0;
    for (const row_type& row : rows) {
        if (row.event == 'r')
            throttle.succeeded("10.0.0.7");
        if (row.event == 'w') {
            throttle.failed("10.0.0.7", row.time);
            wrong++;
        }
        EXPECT_EQ(throttle.allowed("10.0.0.7", row.time), row.allowed) << row.time;
        EXPECT_TRUE(throttle.allowed("10.0.0.8", row.time)) << "another address is not slowed";
    }
    EXPECT_EQ(throttle.report(5.0),
              "Web console: wrong tokens since the last report: " + std::to_string(wrong) + ", the last from 10.0.0.7");
    throttle.failed("10.0.0.9", 6.0);
    EXPECT_EQ(throttle.report(6.0), "") << "once a minute";
    EXPECT_EQ(throttle.report(65.1), "Web console: wrong tokens since the last report: 1, the last from 10.0.0.9");
    EXPECT_EQ(throttle.report(200.0), "") << "nothing to say";
    for (int i = 0; i < 40; i++)
        throttle.failed("10.0.0.10", 1000.0);
    EXPECT_FALSE(throttle.allowed("10.0.0.10", 1000.0 + web_guess_longest_wait - 0.1));
    EXPECT_TRUE(throttle.allowed("10.0.0.10", 1000.0 + web_guess_longest_wait));
}

TEST(WebRefusals, TheFirstRefusalIsLoggedAtOnceThenOneLineAMinute)
{
    web_refusals_class refusals;
    EXPECT_NE(refusals.note("https://a.example", 100.0).find(": 1, the last from https://a.example"), std::string::npos);
    for (int i = 0; i < 50; i++)
        EXPECT_EQ(refusals.note("https://b.example", 100.0 + i), "");
    EXPECT_EQ(refusals.report(159.0), "");
    EXPECT_NE(refusals.report(160.0).find(": 50, the last from https://b.example"), std::string::npos);
    EXPECT_EQ(refusals.report(300.0), "");
}
