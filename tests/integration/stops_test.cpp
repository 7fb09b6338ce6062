// Every way the robot stops, for every kind of driver, through the real program and quillon-sim: the
// operator link, a browser, a Foxglove client, an MQTT operator on a real broker and the robot's keyboard
// under Xvfb, each stopped by STOP, letting go, silence, leaving, the broker's loss, the window's focus or
// a restart. Each row ends in neutral motor bytes at the board within its rule's time; a driver held by a
// STOP stays stopped until it lets go and presses again. The times measured are printed.
#include "integration_support.h"
#include "sim_record_support.h"
#include "stops_support.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>

using namespace integration;
using std::chrono::milliseconds;
using clock_type = std::chrono::steady_clock;

TEST(Stops, EveryDriverKindStopsForEveryCauseAndAStopHoldsUntilItsDriverLetsGo)
{
    if (sim_binary().empty() || access("/usr/sbin/mosquitto", X_OK) != 0)
        GTEST_SKIP() << "quillon-sim or mosquitto is not there";
    stops_rig rig;
    ASSERT_TRUE(rig.program->running()) << rig.program->errors();
    ASSERT_TRUE(wait_until([&] { return rig.received() >= 3; })) << "the board receives no commands";

    stops_drivers drivers(rig);
    ASSERT_TRUE(drivers.ready());

    struct row_type {
        const char* kind;
        const char* cause;          // stop, let go, silence, leave (disconnect, broker loss, focus loss)
        milliseconds limit;         // the rule's time and room for a loaded machine
    };
    const row_type rows[] = {
        {"browser", "stop", milliseconds(500)},
        {"browser", "let go", milliseconds(500)}, {"browser", "silence", milliseconds(1500)},
        {"foxglove", "stop", milliseconds(500)},  {"foxglove", "let go", milliseconds(500)},
        {"foxglove", "silence", milliseconds(1500)}, {"mqtt", "stop", milliseconds(500)},
        {"mqtt", "let go", milliseconds(500)},    {"mqtt", "silence", milliseconds(1500)},
        {"keyboard", "stop", milliseconds(500)},  {"keyboard", "let go", milliseconds(500)},
        {"keyboard", "leave", milliseconds(500)}, {"browser", "leave", milliseconds(500)},
        {"foxglove", "leave", milliseconds(500)}, {"mqtt", "leave", milliseconds(1500)},
        {"link", "stop", milliseconds(500)},      {"link", "let go", milliseconds(500)},
        {"link", "silence", milliseconds(2000)},  {"link", "leave", milliseconds(500)},
    };
    std::string figures = "driver    cause     ms to 80 80 80 80\n";
    for (const row_type& row : rows) {
        SCOPED_TRACE(std::string(row.kind) + " " + row.cause);
        if (drivers.count(row.kind) == 0)
            continue;  // no virtual display: no keyboard
        driver_type& driver = drivers[row.kind];
        // It drives: presses, and keeps pressing as its client would, until the board moves.
        size_t mark = rig.received();
        ASSERT_TRUE(wait_until([&] {
            driver.press();
            return rig.board_gets(mark, moving, milliseconds(100));
        }, milliseconds(5000))) << "it does not drive\n" << rig.log_tail();
        std::string cause = row.cause;
        mark = rig.received();
        auto began = clock_type::now();
        if (cause == "stop")
            drivers.stop();  // from a browser that only watches
        else if (cause == "let go")
            driver.let_go();
        else if (cause == "leave")
            driver.leave();
        ASSERT_TRUE(rig.board_gets(mark, neutral, row.limit + milliseconds(1000))) << "no neutral command";
        auto took = std::chrono::duration_cast<milliseconds>(clock_type::now() - began);
        EXPECT_LE(took, row.limit);
        char line[80];
        std::snprintf(line, sizeof line, "%-9s %-9s %lld\n", row.kind, row.cause, static_cast<long long>(took.count()));
        figures += line;
        if (cause == "stop") {
            // Held: pressing on without letting go moves nothing; letting go and pressing again drives.
            for (int i = 0; i < 3; i++)
                driver.press();
            EXPECT_TRUE(rig.stays_neutral(5)) << "a STOP that does not hold";
            driver.let_go();
            mark = rig.received();
            EXPECT_TRUE(wait_until([&] {
                driver.press();
                return rig.board_gets(mark, moving, milliseconds(100));
            }, milliseconds(5000))) << "it may not drive again after letting go";
        }
        driver.let_go();
        EXPECT_TRUE(rig.board_gets(rig.received(), neutral));
        // Every driver lets go and the deadman and idle rules run out, so the next row's may take over.
        ASSERT_TRUE(rig.stays_neutral(12));
    }
    std::printf("%s", figures.c_str());

    // A retained drive on the broker, and a restart: nothing moves until a fresh, live drive.
    rig.mqtt.start();
    ASSERT_TRUE(rig.mqtt.publish("quillon/rover/drive", "{\"forward\":1,\"turn\":0}", true));
    EXPECT_TRUE(rig.restart());
    EXPECT_TRUE(rig.stays_neutral(15)) << "a retained drive moved the robot";
    rig.mqtt.publish("quillon/rover/drive", "", true);  // the retained message goes
    // A STOP of any size is taken: the operator's drive stops under a kilobyte STOP.
    size_t mark = rig.received();
    ASSERT_TRUE(wait_until([&] {
        drivers["mqtt"].press();
        return rig.board_gets(mark, moving, milliseconds(100));
    }, milliseconds(8000)));
    mark = rig.received();
    rig.mqtt.publish("quillon/rover/stop", std::string(1000, 'x'));
    EXPECT_TRUE(rig.board_gets(mark, neutral, milliseconds(1500))) << "a long STOP was dropped";
}
