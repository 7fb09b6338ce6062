// The table's runner.
#include "app/scheduler.h"

namespace {

constexpr double early = 0.002;  // a tick this much before a task's time still runs it: timers jitter

} // namespace

scheduler_class::scheduler_class(std::vector<scheduler_task_type> tasks, double start)
{
    for (const scheduler_task_type& task : tasks)
        slots.push_back({task, start + task.period});
}

void scheduler_class::run(double now)
{
    for (slot_type& slot : slots) {
        if (now < slot.due - early)
            continue;
        double period = slot.task.period;
        slot.due = now - slot.due < period ? slot.due + period : now + period;
        slot.task.run(now);
    }
}
