// Planning utilities of the model: how one part of the model plans or unplans another process (waking a
// controller, a host, a channel, a timer). A process never plans itself through them, and a finished
// (TERMINATED) process is silently skipped.
//
// Results of unschedule, schedule_at and schedule_after: 0 when they planned or unplanned (or had nothing to
// do), 1 when the target is the process whose body runs now, 2 when it is TERMINATED. Callers ignore the
// result where the target can be neither. The target must not be null.
#pragma once

#include "kernel/sim_process.h"

enum ScheduleResult : int {
    SCHEDULE_DONE = 0,
    SCHEDULE_TARGET_IS_RUNNING = 1,
    SCHEDULE_TARGET_TERMINATED = 2,
};

/// True when the process is NEW_PLANNED or PLANNED.
bool is_planned(const SimProcess* process);
/// True when the process's body is the one running now.
bool is_active(const SimProcess* process);
bool is_terminated(const SimProcess* process);
/// Takes a planned process out of the sequencing set (cancel).
int unschedule(SimProcess* process);
/// Plans the process for the absolute time t (reactivate_at).
int schedule_at(SimProcess* process, double t);
/// Plans the process del_t from now (reactivate_delay).
int schedule_after(SimProcess* process, double del_t);
