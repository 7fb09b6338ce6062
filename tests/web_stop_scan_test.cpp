// A browser's STOP told from its pieces, whatever its size and form, and nothing else taken for one.
#include "web/web_stop_scan.h"

#include <gtest/gtest.h>

#include <string>

TEST(WebStopScan, AStopIsSeenAtAnySizeAndSplitAnywhere)
{
    std::string padding(200000, 'x');
    struct {
        std::string message;
        bool stop;
    } cases[] = {
        {R"({"type":"stop"})", true},
        {R"({"pad":")" + padding + R"(","type":"stop"})", true},
        {R"({"type":"stop","pad":[)" + std::string(5000, '1') + "]}", true},
        {R"({"type":"stop",)" + padding, true},                     // cut off: still a stop
        {R"({"type":"drive","w":1})", false},
        {R"({"type":"stopped"})", false},
        {R"({"inner":{"type":"stop"}})", false},
        {R"({"type":["stop"]})", false},
        {R"(["type","stop"])", false},
        {"not json type stop", false},
    };
    web_stop_scan_class scan;
    for (const auto& c : cases)
        for (size_t piece : {size_t(1), size_t(7), size_t(16384)}) {
            for (size_t at = 0; at < c.message.size(); at += piece)
                scan.feed(std::string_view(c.message).substr(at, piece));
            EXPECT_EQ(scan.stop(), c.stop) << c.message.substr(0, 60) << " in pieces of " << piece;
            scan.reset();
        }
}
