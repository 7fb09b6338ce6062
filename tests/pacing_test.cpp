// The controller's send times: the steady cycle alone, and extra commands on change with their minimum gap.
#include "bus/pacing.h"

#include <gtest/gtest.h>

TEST(Pacing, ChangesGoOutAtOnceButNeverCloserThanTheGap)
{
    pacing_type pacing;
    EXPECT_EQ(pacing_due(pacing), 0.0) << "the first command goes out at once";
    pacing_sent(pacing, 10.0);
    EXPECT_DOUBLE_EQ(pacing_due(pacing), 10.1) << "nothing changed: the next steady command";

    // Each row: a change noticed at `at`, then the command sent when it falls due.
    struct row_type {
        double at;           // when the change is noticed
        double due;          // when the command is due
        double next_cycle;   // the steady command after it
        bool neutral = false;  // the change is to the neutral command
    };
    const row_type rows[] = {
        {10.005, 10.02, 10.1},   // within the gap: waits for it
        {10.05, 10.05, 10.1},    // past the gap: at once, and the cycle stays
        {10.06, 10.07, 10.1},    // a second change soon after: the gap again
        {10.075, 10.09, 10.1},   // and again
        {10.095, 10.1, 10.2},    // the steady command comes before the gap ends and carries it
        {10.3, 10.3, 10.4},      // long after the cycle fell due: at once, as the steady command
        {10.305, 10.305, 10.4, true},  // a stop within the gap: at once
        {10.31, 10.325, 10.4},   // the next change keeps the gap from the stop
    };
    for (const row_type& row : rows) {
        pacing_changed(pacing, row.neutral);
        double due = pacing_due(pacing) > row.at ? pacing_due(pacing) : row.at;
        EXPECT_NEAR(due, row.due, 1e-9) << "change at " << row.at;
        pacing_sent(pacing, due);
        EXPECT_NEAR(pacing_due(pacing), row.next_cycle, 1e-9) << "change at " << row.at;
    }
}
