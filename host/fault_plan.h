// The fault plan: the one place where described faults (host/fault_spec.h) happen.
//
// The plan is one simulation process, "Fault Plan", created for a run that has faults (a scenario, --fault,
// a fault added from the window or by a campaign). Every fault is added to it with add_fault; the plan arms
// its trigger and keeps an agenda of what is due: an occurrence's start, its end, the ticks of a fault that
// acts again and again (an intermittent bit, a babbling controller). The process is planned at the earliest
// entry of the agenda and, when it runs, carries out every entry due then, in the order they were planned.
// So every fault happens in a kernel step of its own, at an exact simulated time, and a run with the same
// configuration, seed and faults is the same run, bit for bit.
//
// Triggers on protocol events (a state entered, a membership vector changed, an own frame, the start of a
// slot) are seen through the controllers' fault watch (fp1ctrl.h); an event plans the occurrence at its
// time plus the fault's delay, to run right after the step in which the event happened.
//
// Where each kind acts (the plan reaches a record only through that record's own functions):
//   memory, stuck, intermittent  the controller's interface or register words, written as the fault
//                                injector writes them (a plain memory write); a stuck word is put back
//                                between every two kernel steps (hold_stuck_bits, called by the run
//                                driver), so the model's own writes do not clear it while it lasts: a
//                                write is seen, within the step that made it, by the code that made it
//   corrupt, lose, blackout,     the channel's delivery (set_channel_disturbance, fp1chan.h)
//   bit-errors
//   asymmetric                   each chosen receiver's reception (set_reception_fault, fp1ctrl.h)
//   crash                        crash_controller / recover_controller (fp1ctrl.h)
//   host-crash, host-restart     crash_host / restart_host (sa1os.h)
//   babbling                     babble (fp1ctrl.h), at every tick
//   guardian-open                set_guardian_stuck_open (fp1busg.h)
//   sos                          set_send_offset (fp1ctrl.h)
//   clock                        change_drift / jump_local_time (fp1ctrl.h)
//
// Reports. Every fault added and everything a fault does reaches the listener as an InjectionRecord (the
// injection log's row, host/injection_log.h): an `added` row with the fault's text form, one row per bit a
// memory fault changes (as the injector's rows), and start, end and tick rows for the rest.
//
// State. The plan's record, its agenda and its faults are model state like every other record's
// (sim_state.h); a plan with nothing left to do (no fault waiting, due or active) holds no state that can
// change the run, and its state function then feeds nothing, so a run that added a fault and is over it
// compares equal with one that never had it.
#pragma once

#include "host/fault_spec.h"
#include "host/sa1fault.h"
#include "kernel/random_stream.h"
#include "kernel/sim_process.h"
#include "ttpc/fp1ctrl.h"

#include <cstdint>
#include <vector>

struct Cluster;

/// What a row of a planned fault records (InjectionRecord::action).
enum FaultRowAction : uint8_t {
    ROW_BIT = 0,   // one bit changed (the injector's rows, memory faults, an intermittent flip)
    ROW_ADDED = 1, // the fault was added to the plan (detail: its text form)
    ROW_START = 2, // an occurrence began
    ROW_END = 3,   // it ended
    ROW_TICK = 4,  // it acted again (a babbling transmission, an intermittent bit coming or going)
};
constexpr unsigned FAULT_ROW_ACTION_COUNT = 5;
/// "bit", "added", "start", "end", "tick".
const char* fault_row_action_name(uint8_t action);
bool fault_row_action_by_name(std::string_view name, uint8_t* action);

/// How far along a fault is.
enum class FaultPhase : uint8_t {
    WATCHING, // its trigger has not fired (yet)
    DUE,      // an occurrence is on the agenda
    ACTIVE,   // an occurrence is under way (until its end or its frames)
    DONE,     // every occurrence is over
};

/// A word held by a stuck fault.
struct StuckWord {
    uint32_t* word;
    uint32_t mask;
    uint32_t value; // the bits of mask held, at 0 or 1
    uint32_t fault; // index into FaultPlan::faults
};

/// One fault with its progress.
struct ScheduledFault {
    FaultSpec described;                 // the fault as added
    uint32_t number = 0;                 // 1 = the first fault added to the plan
    FaultPhase phase = FaultPhase::DONE; // until add_fault arms it
    uint32_t occurrences = 0;            // begun so far
    uint32_t own_frames = 0;             // OWN_FRAME trigger: own frames seen since the fault was added
    uint32_t cycles_seen = 0;            // SLOT trigger: cluster cycles begun since the fault was added
    double ends_at = UNTIL_END;          // the present occurrence's end (UNTIL_END: none planned)
    // Memory kinds: the word and bits of the present occurrence (drawn once per occurrence for a random
    // field, the same in every node struck).
    uint32_t word = 0;
    uint32_t bits = 0;
    bool present = false; // intermittent stuck: the bits are held now
};

/// An entry of the agenda.
enum class AgendaWhat : uint8_t { START, END, TICK };
struct AgendaEntry {
    double time;
    uint64_t order; // planning order: entries at the same time run in it
    uint32_t fault; // index into FaultPlan::faults
    AgendaWhat what;
};

/// What the plan follows of the cluster for its triggers, while some fault watches for them: the
/// controllers' fault watch is set only then, so a plan whose faults wait for times costs nothing per event.
struct PlanWatch {
    uint32_t watching[TRIGGER_KIND_COUNT] = {}; // faults WATCHING, by TriggerKind
    uint32_t state[NODE_COUNT];                 // protocol state last written per node
    uint8_t membership[NODE_COUNT];             // vector after the last slot judged (0x80: none judged yet)
    double last_slot_start = -1.0;              // the cluster's last slot start (the first to announce it)
};

using FaultRowListener = void (*)(void* context, const InjectionRecord& row);

struct FaultPlan : SimProcess {
    Cluster* cluster;
    std::vector<ScheduledFault> faults;
    std::vector<AgendaEntry> agenda; // sorted by (time, order)
    uint64_t next_order;
    std::vector<StuckWord> stuck; // words held between steps
    RandomStream* rng;            // owned: random fields, intermittent events, bit errors
    PlanWatch watch;
    ControllerObserver watcher; // the controllers' fault watch: their protocol events, for the triggers
    FaultRowListener listener;  // told of every row; may be null
    void* listener_context;
    uint32_t counts[FAULT_KIND_COUNT]; // occurrences begun, by kind (a report nothing reads)
};

/// Creates the plan of an assembled cluster (the process is planned when the agenda first holds an entry)
/// with its random stream seeded from `seed`, and makes the controllers' fault watch tell it of their
/// protocol events. Records it in cluster->fault_plan.
FaultPlan* create_fault_plan(Cluster* cluster, uint32_t seed);
/// Adds a fault (checked by fault_from_words) from the present time on: reports its `added` row and arms its
/// trigger. Returns its number.
uint32_t add_fault(FaultPlan* plan, const FaultSpec& fault);
/// Puts every held stuck bit back (between two kernel steps). Nothing when no stuck fault is under way.
void hold_stuck_bits(FaultPlan* plan);
inline void hold_stuck_bits_if_any(FaultPlan* plan) {
    if (plan != nullptr && !plan->stuck.empty()) {
        hold_stuck_bits(plan);
    }
}
/// Whether anything is left to happen: a fault watching, due or active.
bool plan_busy(const FaultPlan* plan);
/// Occurrences begun, of one kind.
uint32_t fault_count(const FaultPlan* plan, FaultKind kind);
/// The process body.
void fault_plan_body(SimProcess* process);
