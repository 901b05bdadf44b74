#include "ttpc/sl1func.h"

#include "kernel/sim_assert.h"

namespace {

constexpr const char* SOURCE = "ttpc\\sl1func";

void require_process(const SimProcess* process) {
    sim_assert(process != nullptr, "process != NULL", SOURCE);
}

/// A process that is plainly alive (its stamp is right and it is not TERMINATED): the planning operation's
/// own check then reports anything else, and a second check here would only repeat it.
bool plainly_alive(const SimProcess* process) {
    return process->self == process && process->state != TERMINATED;
}

} // namespace

bool is_planned(const SimProcess* process) {
    require_process(process);
    uint8_t s = state(process);
    return s == NEW_PLANNED || s == PLANNED;
}

bool is_active(const SimProcess* process) {
    require_process(process);
    return process == current() && state(process) == ACTIVE;
}

bool is_terminated(const SimProcess* process) {
    require_process(process);
    return state(process) == TERMINATED;
}

int unschedule(SimProcess* process) {
    if (is_active(process)) {
        return SCHEDULE_TARGET_IS_RUNNING;
    }
    if (is_planned(process)) {
        cancel(process);
    }
    return SCHEDULE_DONE;
}

int schedule_at(SimProcess* process, double t) {
    if (is_active(process)) {
        return SCHEDULE_TARGET_IS_RUNNING;
    }
    if (!plainly_alive(process) && is_terminated(process)) {
        return SCHEDULE_TARGET_TERMINATED;
    }
    reactivate_at(process, t);
    return SCHEDULE_DONE;
}

int schedule_after(SimProcess* process, double del_t) {
    if (is_active(process)) {
        return SCHEDULE_TARGET_IS_RUNNING;
    }
    if (!plainly_alive(process) && is_terminated(process)) {
        return SCHEDULE_TARGET_TERMINATED;
    }
    reactivate_delay(process, del_t);
    return SCHEDULE_DONE;
}
