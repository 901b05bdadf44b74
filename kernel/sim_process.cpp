#include "kernel/sim_process.h"

#include "kernel/kernel_state.h"
#include "kernel/sim_assert.h"
#include "kernel/trace.h"

#include <bit>
#include <cmath>

// The sequencing set is the circular, doubly linked list of planned processes through suc_in_sqs and
// pred_in_sqs, in non-decreasing event time, equal times in insertion order; the Calendar's suc_in_sqs and
// pred_in_sqs are its first and last member. Inserting by walking that list costs time proportional to the
// number of planned processes, so the set also keeps a search index over the same members: a skip list of
// SQS_LEVELS - 1 forward levels above the list (sqs_skip), whose node levels come from a generator that
// inic_kernel reseeds. The index only speeds up finding the insertion point; the order is the list's.

namespace {

constexpr const char* KERNEL_SOURCE = "kernel\\sim_process";

/// Codes of a planning operation for each check outcome.
struct PlanCodes {
    uint8_t null_ref, defective, wrong_value, terminated;
};

/// Reports a failed process check; returns true when the process may be planned.
bool process_passes(const SimProcess* process, PlanCodes codes) {
    switch (check_process(process)) {
    case CHECK_IN_LIST:
    case CHECK_NOT_IN_LIST:
        return true;
    case CHECK_NULL:
        sim_error(codes.null_ref, kernel.current, nullptr);
        return false;
    case CHECK_WRONG_VALUE:
        sim_error(codes.wrong_value, kernel.current, nullptr);
        return false;
    case CHECK_TERMINATED:
        sim_error(codes.terminated, kernel.current, process);
        return false;
    default:
        sim_error(codes.defective, kernel.current, process);
        return false;
    }
}

bool is_planned_member(const SimProcess* process) {
    return process->suc_in_sqs != nullptr;
}

/// True when a stands before b in the sequencing set.
bool sqs_before(const SimProcess* a, const SimProcess* b) {
    return a->evtime < b->evtime || (a->evtime == b->evtime && a->sqs_sequence < b->sqs_sequence);
}

uint32_t next_level() {
    uint32_t x = kernel.level_seed;
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    kernel.level_seed = x;
    uint32_t level = 1 + static_cast<uint32_t>(std::countr_zero(x | 0x80000000u)) / 2; // 1 with p = 3/4
    return level < SQS_LEVELS ? level : SQS_LEVELS;
}

SimProcess*& skip_next(SimProcess* node, unsigned level) {
    return node != nullptr ? node->sqs_skip[level] : kernel.sqs_skip[level];
}

/// Links a process into the circular list right after x (null: at the front).
void link_after(SimProcess* process, SimProcess* x) {
    SimProcess* first_member = kernel.calendar->suc_in_sqs;
    SimProcess* last_member = kernel.calendar->pred_in_sqs;
    if (first_member == nullptr) {
        process->suc_in_sqs = process->pred_in_sqs = process;
        kernel.calendar->suc_in_sqs = kernel.calendar->pred_in_sqs = process;
    } else if (x == nullptr) {
        process->suc_in_sqs = first_member;
        process->pred_in_sqs = last_member;
        last_member->suc_in_sqs = process;
        first_member->pred_in_sqs = process;
        kernel.calendar->suc_in_sqs = process;
    } else {
        process->pred_in_sqs = x;
        process->suc_in_sqs = x->suc_in_sqs;
        x->suc_in_sqs->pred_in_sqs = process;
        x->suc_in_sqs = process;
        if (x == last_member) {
            kernel.calendar->pred_in_sqs = process;
        }
    }
    kernel.sqs_count += 1;
}

/// Below this many planned processes a walk from the end of the list is cheaper than the search index;
/// such processes stand in the list only (level 1), which keeps the index valid.
constexpr uint32_t SQS_SHORT_SET = 48;
/// From this many planned processes on, the walk starts at whichever end is nearer the new time.
constexpr uint32_t SQS_TWO_ENDED = 12;

/// Inserts an unplanned process by its event time after every member with an equal or earlier time.
void sqs_insert(SimProcess* process) {
    const double t = process->evtime;
    process->sqs_sequence = ++kernel.sqs_sequence;
    if (kernel.sqs_count < SQS_SHORT_SET) {
        process->sqs_level = 1;
        SimProcess* first_member = kernel.calendar->suc_in_sqs;
        SimProcess* last_member = kernel.calendar->pred_in_sqs;
        if (kernel.sqs_count >= SQS_TWO_ENDED && t - first_member->evtime < last_member->evtime - t) {
            // Nearer the front: walk forward to the first member planned later, insert before it.
            SimProcess* later = first_member;
            while (later != nullptr && later->evtime <= t) {
                later = later == last_member ? nullptr : later->suc_in_sqs;
            }
            link_after(process, later == nullptr        ? last_member
                                : later == first_member ? nullptr
                                                        : later->pred_in_sqs);
            return;
        }
        SimProcess* x = last_member;
        while (x != nullptr && x->evtime > t) {
            x = x == first_member ? nullptr : x->pred_in_sqs;
        }
        link_after(process, x);
        return;
    }
    process->sqs_level = next_level();
    if (process->sqs_level > kernel.sqs_top_level) {
        kernel.sqs_top_level = process->sqs_level;
    }

    SimProcess* update[SQS_LEVELS] = {};
    SimProcess* x = nullptr; // null stands for the front of the set
    for (unsigned level = kernel.sqs_top_level - 1; level >= 1; --level) {
        SimProcess* next = skip_next(x, level);
        while (next != nullptr && next->evtime <= t) {
            x = next;
            next = x->sqs_skip[level];
        }
        update[level] = x;
    }
    SimProcess* first_member = kernel.calendar->suc_in_sqs;
    SimProcess* last_member = kernel.calendar->pred_in_sqs;
    SimProcess* next = x == nullptr ? first_member : (x == last_member ? nullptr : x->suc_in_sqs);
    while (next != nullptr && next->evtime <= t) {
        x = next;
        next = x == last_member ? nullptr : x->suc_in_sqs;
    }

    link_after(process, x);
    for (unsigned level = 1; level < process->sqs_level; ++level) {
        process->sqs_skip[level] = skip_next(update[level], level);
        skip_next(update[level], level) = process;
    }
}

void plan_statistics(SimProcess* process) {
    if (statistics_on(process->statistics)) {
        process->plan_accumulator += kernel.time - process->time_of_last_change;
        process->time_of_last_change = kernel.time;
    }
}

void passive_statistics(SimProcess* process) {
    if (statistics_on(process->statistics)) {
        process->passive_accumulator += kernel.time - process->time_of_last_change;
        process->time_of_last_change = kernel.time;
    }
}

/// Plans a valid, non-ACTIVE process for time t (the common part of reactivate_at / reactivate_delay).
void plan_at(SimProcess* process, double t) {
    if (is_planned_member(process)) {
        sqs_unlink(process);
        process->evtime = t;
        sqs_insert(process);
    } else {
        process->evtime = t;
        sqs_insert(process);
        plan_statistics(process);
    }
    bool fresh = process->state == NEW_PASSIVE || process->state == NEW_PLANNED;
    process->state = fresh ? NEW_PLANNED : PLANNED;
}

/// The running process at a wait point; anything else is a programming error in a body.
SimProcess* waiting_process() {
    SimProcess* process = kernel.current;
    sim_assert(kernel.body_running && process != nullptr && process->state == ACTIVE,
               "wait point reached by the running process once per step", KERNEL_SOURCE);
    return process;
}

} // namespace

void sqs_unlink(SimProcess* process) {
    if (!is_planned_member(process)) {
        return;
    }
    SimProcess* cal = kernel.calendar;
    if (cal->suc_in_sqs == process) {
        // The first member heads every level it stands in: no search needed (the common case of a wait).
        for (unsigned level = 1; level < process->sqs_level; ++level) {
            kernel.sqs_skip[level] = process->sqs_skip[level];
        }
    } else {
        SimProcess* x = nullptr;
        for (unsigned level = kernel.sqs_top_level - 1; level >= 1; --level) {
            SimProcess* next = skip_next(x, level);
            while (next != nullptr && next != process && sqs_before(next, process)) {
                x = next;
                next = x->sqs_skip[level];
            }
            if (level < process->sqs_level && next == process) {
                skip_next(x, level) = process->sqs_skip[level];
            }
        }
    }
    if (process->suc_in_sqs == process) {
        cal->suc_in_sqs = cal->pred_in_sqs = nullptr;
    } else {
        process->pred_in_sqs->suc_in_sqs = process->suc_in_sqs;
        process->suc_in_sqs->pred_in_sqs = process->pred_in_sqs;
        if (cal->suc_in_sqs == process) {
            cal->suc_in_sqs = process->suc_in_sqs;
        }
        if (cal->pred_in_sqs == process) {
            cal->pred_in_sqs = process->pred_in_sqs;
        }
    }
    process->suc_in_sqs = process->pred_in_sqs = nullptr;
    kernel.sqs_count -= 1;
    while (kernel.sqs_top_level > 1 && kernel.sqs_skip[kernel.sqs_top_level - 1] == nullptr) {
        kernel.sqs_top_level -= 1;
    }
}

// --- Accessors -------------------------------------------------------------------------------------------

double sim_time() {
    return kernel.time;
}
SimProcess* current() {
    return kernel.current;
}
SimProcess* calendar() {
    return kernel.calendar;
}
uint32_t sqs_count() {
    return kernel.sqs_count;
}
uint64_t step_count() {
    return kernel.steps;
}
double next_event_time() {
    const SimProcess* next = kernel.calendar != nullptr ? kernel.calendar->suc_in_sqs : nullptr;
    return next != nullptr ? next->evtime : INFINITY;
}

uint8_t state(const SimProcess* process) {
    switch (check_process(process)) {
    case CHECK_NULL:
        sim_error(73, kernel.current, nullptr);
        return TERMINATED;
    case CHECK_DEFECTIVE:
        sim_error(74, kernel.current, process);
        return TERMINATED;
    case CHECK_WRONG_VALUE:
        sim_error(75, kernel.current, nullptr);
        return TERMINATED;
    default:
        return process->state;
    }
}

// --- Creation and planning -------------------------------------------------------------------------------

SimProcess* inic_process(SimProcess* process, SimProgram program) {
    if (program == nullptr) {
        sim_error(45, kernel.current, nullptr);
        return nullptr;
    }
    if (inic_link(process) == nullptr) {
        return nullptr;
    }
    process->type = KIND_PROCESS;
    process->program = program;
    process->resume = SIM_START;
    process->suc_in_sqs = process->pred_in_sqs = nullptr;
    process->state = NEW_PASSIVE;
    process->evtime = 0.0;
    process->time_of_last_change = kernel.time;
    process->passive_accumulator = process->plan_accumulator = 0.0;
    process->statistics = 0;
    process->view = view_process;
    return process;
}

void rank(SimProcess* process) {
    int result = check_process(process);
    if (result == CHECK_TERMINATED) {
        return;
    }
    if (!process_passes(process, {65, 66, 67, 0})) {
        return;
    }
    if (result == CHECK_IN_LIST) {
        sim_error(68, kernel.current, process);
        return;
    }
    sqs_insert(process);
}

void sqs_out(SimProcess* process) {
    int result = check_process(process);
    if (result == CHECK_TERMINATED) {
        return;
    }
    if (!process_passes(process, {69, 70, 71, 0})) {
        return;
    }
    sqs_unlink(process);
}

void cancel(SimProcess* process) {
    if (!process_passes(process, {84, 85, 86, 89})) {
        return;
    }
    if (process->state == ACTIVE) {
        sim_error(88, kernel.current, process);
        return;
    }
    if (!is_planned_member(process)) {
        sim_error(87, kernel.current, process);
        return;
    }
    sqs_unlink(process);
    process->state = process->state == NEW_PLANNED ? NEW_PASSIVE : PASSIVE;
    passive_statistics(process);
}

void reactivate_at(SimProcess* process, double t) {
    if (!process_passes(process, {104, 105, 106, 109})) {
        return;
    }
    if (process->state == ACTIVE) {
        sim_error(108, kernel.current, process);
        return;
    }
    if (!(t >= kernel.time)) { // also refuses a time that is not a number
        sim_error(107, kernel.current, process);
        return;
    }
    plan_at(process, t);
}

void reactivate_delay(SimProcess* process, double del_t) {
    if (!process_passes(process, {110, 111, 112, 115})) {
        return;
    }
    if (process->state == ACTIVE) {
        sim_error(114, kernel.current, process);
        return;
    }
    if (!(del_t >= 0.0)) {
        sim_error(113, kernel.current, process);
        return;
    }
    plan_at(process, kernel.time + del_t);
}

void dispose_process(SimProcess* process) {
    int result = check_process(process);
    switch (result) {
    case CHECK_NULL:
        sim_error(55, kernel.current, nullptr);
        return;
    case CHECK_WRONG_VALUE:
        sim_error(57, kernel.current, nullptr);
        return;
    case CHECK_DEFECTIVE:
        sim_error(56, kernel.current, process);
        return;
    case CHECK_TERMINATED:
        break;
    default:
        sim_error(58, kernel.current, process);
        return;
    }
    if (process->head != nullptr) {
        out(process);
    }
    // A TERMINATED process still standing in the sequencing set is taken out too, so that the set never
    // refers to a freed record.
    sqs_unlink(process);
    if (kernel.current == process) {
        kernel.current = nullptr;
    }
    mem_out(process);
    if (process->destructor != nullptr) {
        process->destructor(process);
    }
    process->self = nullptr;
    if (process->ops != nullptr) {
        process->ops->release(process);
    }
}

// --- Wait points -----------------------------------------------------------------------------------------

void hold(double del_t, uint32_t resume_at) {
    SimProcess* process = waiting_process();
    process->resume = resume_at;
    sqs_unlink(process);
    if (!(del_t >= 0.0)) {
        sim_error(41, process, nullptr);
        return;
    }
    process->evtime += del_t;
    sqs_insert(process);
    process->state = PLANNED;
    plan_statistics(process);
}

void passivate(uint32_t resume_at) {
    SimProcess* process = waiting_process();
    process->resume = resume_at;
    process->state = PASSIVE;
    passive_statistics(process);
    sqs_unlink(process);
}

// --- The scheduler step ----------------------------------------------------------------------------------

bool next_event() {
    kernel.body_running = true;
    // Without a kernel (before inic_kernel, after dispose_all) there is no Calendar: nothing is planned.
    SimProcess* process = kernel.calendar != nullptr ? kernel.calendar->suc_in_sqs : nullptr;
    if (process == nullptr) {
        kernel.body_running = false;
        sim_error(72, nullptr, nullptr);
        return false;
    }
    kernel.current = process;
    kernel.time = process->evtime;
    kernel.steps += 1;
    if (process->state == NEW_PLANNED) {
        process->resume = SIM_START;
    }
    process->state = ACTIVE;
    bool stopped_by_error = false;
    try {
        process->program(process);
    } catch (const KernelError&) {
        stopped_by_error = true;
    }
    kernel.body_running = false;
    sim_assert(stopped_by_error || process->state != ACTIVE, "process body ended at a wait point",
               KERNEL_SOURCE);
    return !kernel.error_flag;
}

bool step_or_take_error(uint8_t* error_code) {
    if (next_event()) {
        return true;
    }
    SimErrorRecord error{};
    (void)get_error(&error); // a failed step always leaves the error flag set
    *error_code = error.code;
    return false;
}

bool advance_time(double t) {
    if (kernel.calendar == nullptr) {
        return false;
    }
    const SimProcess* next = kernel.calendar->suc_in_sqs;
    if (kernel.body_running || !(t >= kernel.time) || (next != nullptr && t > next->evtime)) {
        return false;
    }
    kernel.time = t;
    return true;
}
