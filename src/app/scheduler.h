// The program's periodic work: one table of tasks, each with its name and period, run from the 10 ms
// tick. Every task takes the time, so that what it decides can be tested without a clock.
#pragma once

#include <vector>

struct scheduler_task_type {
    const char* name;        // for the reader of the table
    double period;           // seconds between two runs
    void (*run)(double now);
};

class scheduler_class {
public:
    // The first run of each task is a period after start.
    scheduler_class(std::vector<scheduler_task_type> tasks, double start);
    // Runs every task that is due at now, in the table's order. A task runs at most once per call: a late
    // tick is not made up, and a task keeps its beat (due again a period after it was due, unless it fell
    // a whole period behind).
    void run(double now);

private:
    struct slot_type {
        scheduler_task_type task;
        double due;  // when it is next due
    };
    std::vector<slot_type> slots;
};
