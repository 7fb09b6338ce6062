// The table of periodic work: each task on its own beat, none made up after a late tick.
#include "app/scheduler.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::vector<std::string> ran;

} // namespace

TEST(Scheduler, TasksRunOnTheirOwnBeatAndALateTickIsNotMadeUp)
{
    scheduler_class scheduler({{"fast", 0.01, [](double) { ran.push_back("fast"); }},
                               {"second", 1.0, [](double) { ran.push_back("second"); }}},
                              100.0);
    struct {
        double now;
        std::vector<std::string> expected;
    } ticks[] = {
        {100.0, {}},                   // a period after start, not at it
        {100.0099, {"fast"}},          // a tick a hair early still runs it
        {100.02, {"fast"}},
        {100.021, {}},                 // twice in one period: once
        {100.5, {"fast"}},             // a late tick: one run, not fifty
        {100.505, {}},                 // and its beat starts again from there
        {100.51, {"fast"}},
        {101.0, {"fast", "second"}},
        {101.5, {"fast"}},
        {102.0, {"fast", "second"}},   // on its beat although the ticks between were late
        {105.0, {"fast", "second"}},   // three seconds behind: one run
        {105.5, {"fast"}},
        {106.0, {"fast", "second"}},
    };
    for (const auto& tick : ticks) {
        ran.clear();
        scheduler.run(tick.now);
        EXPECT_EQ(ran, tick.expected) << "at " << tick.now;
    }
}
