// Processes, the sequencing set and the scheduler step of the simulation kernel.
//
// A SimProcess is a SimLink with scheduling fields. All model behaviour runs inside process bodies; the
// scheduler step next_event() selects the first planned process of the sequencing set (headed by the
// process object named "Calendar"), advances the simulated time to its event time and resumes its body at
// its last wait point. Exactly one body runs at a time.
//
// Ordering rule. The sequencing set is ordered by event time; processes with equal event times run in the
// order in which they were planned (first in, first out). So a process that holds for 0 runs after every
// process already planned for the present time.
//
// Process states and their transitions:
//     NEW_PASSIVE --reactivate--> NEW_PLANNED --selected--> ACTIVE (body starts at its beginning)
//     NEW_PLANNED --cancel--> NEW_PASSIVE          ACTIVE --hold--> PLANNED     ACTIVE --passivate--> PASSIVE
//     PLANNED --selected--> ACTIVE (resumes)       PLANNED --cancel--> PASSIVE   PASSIVE --reactivate-->
//     PLANNED any --dispose_all--> TERMINATED, then freed
//
// Writing a process body. A body is a plain function of its process record, written as an explicit state
// machine: one switch on the resumption point `resume`, one case per wait point, each case ending at its
// wait point. A wait point (hold, passivate) takes the resumption point at which the body continues when it
// is next selected; the body returns to the scheduler right after calling it. The body starts with
// resume == 0 (SIM_START) whenever it is started from NEW_PLANNED. Nothing a body needs after a wait lives in
// a local variable: it is kept in the record. Example, a process that blinks every 10 time units:
//
//     struct Blinker : SimProcess { uint32_t blinks; };
//     enum : uint32_t { BLINK_START = SIM_START, BLINK_AFTER_WAIT };
//
//     void blinker_body(SimProcess* process) {
//         auto* b = static_cast<Blinker*>(process);
//         switch (process->resume) {
//         case BLINK_START:
//             b->blinks = 0;
//             hold(10.0, BLINK_AFTER_WAIT);
//             return;
//         case BLINK_AFTER_WAIT:
//             b->blinks += 1;
//             trace(b, "Blink %u.\n", b->blinks);
//             hold(10.0, BLINK_AFTER_WAIT);
//             return;
//         }
//     }
//
//     Blinker* b = sim_new<Blinker>();
//     inic_process(b, blinker_body);
//     b->name = "Blinker";
//     reactivate_at(b, 0.0);
//
// Errors inside a body. A kernel operation that fails inside a body (sim_error) ends the step at once; the
// process stays ACTIVE and first in the sequencing set with its event time unchanged, so the next step runs
// it again from its last wait point (after a failed hold it is out of the set and never runs again).
#pragma once

#include "kernel/sim_object.h"
#include "kernel/sim_state.h"

#include <cstdint>

enum ProcessState : uint8_t {
    NEW_PASSIVE = 0, // created, never run, not planned
    NEW_PLANNED = 1, // never run, planned: the next resumption starts the body from its beginning
    PLANNED = 2,     // has run, planned: the next resumption continues after its last wait point
    ACTIVE = 3,      // its body is running now
    PASSIVE = 4,     // has run, not planned; waits for another party to plan it
    TERMINATED = 5,  // will never run again; the only state in which it may be disposed of
};

/// Resumption point of a body started from its beginning.
constexpr uint32_t SIM_START = 0;

using SimProgram = void (*)(SimProcess*);

/// Number of forward levels of the sequencing set's search index (see sim_process.cpp).
constexpr unsigned SQS_LEVELS = 10;

struct SimProcess : SimLink {
    SimProgram program;     // the body; never null
    uint32_t resume;        // where the body continues at its next resumption; written at each wait
    SimProcess* suc_in_sqs; // neighbours in the sequencing set (circular); null when not planned
    SimProcess* pred_in_sqs;
    uint8_t state;              // ProcessState
    double evtime;              // simulated time for which the process is planned
    double time_of_last_change; // time of the last state change (statistics)
    double passive_accumulator; // sum of periods that ended with the process becoming PASSIVE
    double plan_accumulator;    // sum of periods that ended with it becoming PLANNED or NEW_PLANNED
    uint8_t statistics;         // 1: statistics are gathered for this process
    void* user_data;            // the model record that owns this process, where the record is not one
    // Search index of the sequencing set: insertion order and forward links of the upper levels.
    uint64_t sqs_sequence;
    uint32_t sqs_level;
    SimProcess* sqs_skip[SQS_LEVELS];
};

// --- Accessors -------------------------------------------------------------------------------------------

double sim_time();
/// The process whose body runs, or ran last; null before the first step.
SimProcess* current();
SimProcess* calendar();
/// The state byte; on a check failure reports 73 (null), 74 (defective) or 75 (wrong value), returns 5.
uint8_t state(const SimProcess* process);
/// Number of processes in the sequencing set.
uint32_t sqs_count();
/// Number of scheduler steps run since inic_kernel.
uint64_t step_count();
/// The time of the first planned event; infinity when nothing is planned (or no kernel is built).
double next_event_time();

// --- Creation and planning -------------------------------------------------------------------------------

/// Initialises a process record: inic_link, tag 'P', NEW_PASSIVE, the PROCESS view. A null program reports
/// code 45 and returns null; a null record returns null.
SimProcess* inic_process(SimProcess* process, SimProgram program);

/// A process owned by a model record that is not itself a process (controller, channel, bus guardian):
/// the process runs `program`, is named `name` (the record's text), carries the record as its user data,
/// and frees the record (delete) when the kernel disposes of the process. Its model state (sim_state.h) is
/// the process followed by the record as RecordState feeds it (by default all its bytes).
/// The record operations (SimRecordOps) of a process that owns a record of type Record: the kernel frees
/// the process (its destructor frees the record); a copy holds both.
template <class Record>
struct OwnedProcessOps {
    struct Kept {
        SimProcess process;
        Record record;
    };
    static Record* record_of(const SimObject* o) {
        return static_cast<Record*>(static_cast<const SimProcess*>(o)->user_data);
    }
    static void* keep(const SimObject* o) {
        return new Kept{*static_cast<const SimProcess*>(o), *record_of(o)};
    }
    static void put_back(SimObject* o, const void* kept) {
        const auto* k = static_cast<const Kept*>(kept);
        *static_cast<SimProcess*>(o) = k->process;
        *record_of(o) = k->record;
    }
    static void drop(void* kept) { delete static_cast<Kept*>(kept); }
    static void forget(SimObject* o) {
        delete record_of(o);
        delete static_cast<SimProcess*>(o);
    }
    static constexpr SimRecordOps table() {
        if constexpr (std::is_copy_constructible_v<Record> && std::is_copy_assignable_v<Record>) {
            return {SimRecordOpsOf<SimProcess>::release, keep, put_back, drop, forget};
        } else {
            return {SimRecordOpsOf<SimProcess>::release, nullptr, nullptr, nullptr, forget};
        }
    }
    static constexpr SimRecordOps TABLE = table();
};

template <class Record, void (*RecordState)(const Record&, StateSink*) = whole_record_state<Record>>
SimProcess* create_owned_process(Record* record, SimProgram program, const char* name) {
    SimProcess* process = sim_new<SimProcess>();
    process->ops = &OwnedProcessOps<Record>::TABLE;
    inic_process(process, program);
    process->name = name;
    process->user_data = record;
    process->destructor = [](SimObject* object) {
        delete static_cast<Record*>(static_cast<SimProcess*>(object)->user_data);
    };
    process->feed_state = [](const SimObject* object, StateSink* sink) {
        state_feed_object(sink, object);
        RecordState(*static_cast<const Record*>(static_cast<const SimProcess*>(object)->user_data), sink);
    };
    return process;
}

void rank(SimProcess* process);    // codes 65-68; a TERMINATED process is ignored
void sqs_out(SimProcess* process); // codes 69-71; a process that is not planned is left unchanged
void cancel(SimProcess* process);  // codes 84-89
/// Plans the process for time t (moves it when already planned). Codes 104-109: t before now or not a
/// number is 107, an ACTIVE process 108.
void reactivate_at(SimProcess* process, double t);
/// reactivate_at(now + del_t). Codes 110-115.
void reactivate_delay(SimProcess* process, double del_t);
/// Frees a TERMINATED process (codes 55-58): out, out of the sequencing set, mem_out, destructor, free.
void dispose_process(SimProcess* process);

// --- Wait points (only inside a body, by the running process) --------------------------------------------

/// Leaves the sequencing set and is planned again del_t later; the body continues at resume_at.
/// del_t < 0 (or not a number) reports code 41 and leaves the process ACTIVE and unplanned.
void hold(double del_t, uint32_t resume_at);
/// Becomes PASSIVE until another party plans it; the body continues at resume_at.
void passivate(uint32_t resume_at);

// --- The scheduler step ----------------------------------------------------------------------------------

/// Runs one event: the first planned process's body up to its next wait point or error. Returns false on
/// an error (empty sequencing set, or no kernel built: code 72) or when the error flag is set afterwards.
bool next_event();
/// next_event for a driver of the kernel: on an error, takes it off the error path (get_error) and hands
/// its code out, so the next step starts with the flag clear.
bool step_or_take_error(uint8_t* error_code);

/// Between steps only: moves the simulated time forward to t, at most to the next planned event. Replays use
/// it to stand in for an event that is not run again (an injection the injector's process once made).
/// False (and no change) when t is before now or after the next event, or when no kernel is built.
bool advance_time(double t);
