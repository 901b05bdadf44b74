// The application's simulation thread: builds the four-node cluster, gathers after every kernel step the
// values the window shows into a snapshot, and carries the window's commands (visualisation switches,
// "Inject now", the fault injector's effect, rate and target) into the model between kernel steps.
// No user interface code, so it is tested without a display.
//
// Snapshot. AfterStep fills the snapshot under the model lock after every step; ReadSnapshot copies it
// under the same lock. Five switches gate groups of fields; a group whose switch is off keeps the values of
// the last step in which it was on:
//
//     always                     sim_time, laser_hits, laser_misses, shoot_time, cluster_cycles
//     node data                  motor_angle, message_values
//     results                    vote_o2
//     node state                 protocol_state, slot_offset, bus_guardian_state,
//                                worst_protocol_state, worst_bus_guardian_state
//     membership and null frame  membership, null_frame
//
// Worst states. The window samples the snapshot every 200 ms, while a node may freeze and restart within
// one kernel step and a bus guardian's Node Failure lasts about 2 ms: sampled, neither would ever show.
// So the snapshot also carries, per node, the worst protocol state and the worst bus guardian state since
// the last ReadSnapshot; each read starts them afresh from the present states, so what a refresh shows is
// held for that one refresh. The protocol state's worst is taken over every state the controller was
// written into (the slot recorder hears each one, also those that never reach the interface) and every
// state its interface showed after a step, ranked by state_severity (host/slot_events.h): APPLICATION
// best, then STARTUP, READY, PASSIVE, COLDSTART, LISTEN, AWAIT and SELFTEST, DOWNLOAD, INIT, and FREEZE
// (with the unnamed values) worst. The bus guardian's is ranked by guardian_severity: Node Failure worst
// (also one that began and ended between two steps, seen through the guardian's failure count), then
// Initialize and Configure, and its normal round (Arm, Start Timer, Enable, Disable) unranked, so without a
// failure or a reset the present state is shown, as sampled.
//
// Gathering the message values repairs the interfaces: a value whose exponent bits are all ones (infinity
// or not a number) is overwritten in place, in that node's interface, by the float whose bits are its bits
// AND 0x7f000000, and that value is what the snapshot carries.
//
// Fault injector. The effect, rate and target given here reach the injector at once, under the model lock
// and so between two kernel steps: a new rate plans the injector process from now (0 lets it passivate),
// a new target re-aims it (O1's interface or registers). Every injection, periodic or "Inject now", is
// appended to the injection log (a CSV file) as an injection into controller O1.
//
// The model is built and stepped by the shared run driver (host/cluster_run.h), as in pelorin-sim.
//
// Fast. Unpaced (TOrvikThread::SetUnpaced, the observer's "Fast"), the snapshot is gathered at the end of
// each unpaced cycle rather than after every step, which is what lets the window keep up with pelorin-sim;
// the stops (on effect, after a step of slots, at the lesson's time) are still looked at after every step,
// and the interfaces' repair is made after every step that wrote into a message area (message_writes,
// ttpc/fp1cni.h; about one step in ten): after any other step every value is as the last repair left it,
// finite, and a repair would change nothing. So a fast run is the same run as a paced one, step for step.
// The worst states then come from the slot recorder, which hears every state written, and from the
// interfaces at each gathering.
//
// Slot events. A slot recorder (host/slot_events.h) watches the model from the moment it is built, for the
// observer window: ReadSlotEvents brings a copy up to date under the model lock. With stop on effect set,
// the thread pauses itself (as Stop does) after the step that closed a slot with an effect, so the run
// stops at the end of that slot; the copy counts these stops.
//
// Lessons. The options may hold a lesson (a scenario file, host/scenario_file.h): its faults are the run's
// first faults, numbered from 1 in the file's order. When one of them fires (the plan's start row, or for
// a memory or stuck fault its bit rows, one caption for the rows of one time), its caption is kept for the
// observer (SlotEventsCopy::captions). With stop_on_effect the run stops, once, at the end of the first
// slot with an effect (the rule of SetStopOnEffect) after a lesson fault first fired: the cluster's own
// start-up changes membership vectors too, and a lesson is about what its faults do. With stop_at_us the
// thread pauses itself after the last step not later than that time, once per model.
//
// Going back. The thread keeps every row of its run (RunRows), replayed and new, in the order they
// happened. A model built to replay them (options.replay) applies them at the kernel steps they happened
// at, so it runs the same run again, and goes on past the last as a run of its own; a fault or a periodic
// rate given while rows are still to come leaves the log there (the run branches off, the rows not yet
// applied are forgotten). With stop_after_slots or stop_before_step the thread runs unpaced, whatever
// SetUnpaced chose, until it is there, then pauses as Stop would; Run goes on from there at the window's
// pace. A replay that the model does not follow (another configuration, a log that is not of this
// cluster) stops the run and is said in ReplayFailure, and on stderr.
//
// Back points. Replaying from time 0 takes as long as the model takes to get there again (about 5 s for
// ten simulated minutes). So the thread also keeps its model along the run (host/run_checkpoint.h): a back
// point every BACK_POINT_SLOTS slots, between two steps, with what the thread and its slot recorder had
// gathered by then. GoBackInPlace puts the latest point at least SLOT_HISTORY slots before the goal back
// into this very model and replays the run's own rows from there (so the recorder's history before the goal
// is whole again), which is the same run as a replay from time 0: the rows after the point come at the same
// step numbers, and what the model did before it is the model's own. A point is taken only while the fault
// injector is not planned (no periodic injection under way): a replay stands in for the injector's events,
// which a model with the injector planned would run itself. Points after the one gone back to are dropped
// (the run may take another way from there). At most MAX_BACK_POINTS are kept: when there are more, every
// second goes and the spacing doubles, so a long run keeps points over its whole length in bounded memory
// (about 0.2 MB each).
//
// Build failure. BuildModel never ends the program: when the configuration cannot be read it records the
// result code and the reason, builds nothing, and the thread must then only be destroyed. The caller shows
// the start-up message (or, for a model that was built, the warnings) and ends the program.
#pragma once

#include "host/cluster_run.h"
#include "host/injection_log.h"
#include "host/run_checkpoint.h"
#include "host/scenario_file.h"
#include "host/slot_events.h"
#include "ui/orvik_thread.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

/// What the window shows of the cluster, as of the last kernel step. Nodes are indexed M1, M2, O1, O2.
struct SineSnapshot {
    double sim_time;         // us
    uint32_t laser_hits;     // laser counters
    uint32_t laser_misses;   //
    float shoot_time;        // received_c of O2's application
    uint32_t cluster_cycles; // transmission cycles counted by O2's host
    float motor_angle;       // fraction of a revolution, [0, 1)
    /// [node][sender][k]: in the node's interface, the float at the start of the data of the message at
    /// address 6 * sender + 3 * k.
    float message_values[NODE_COUNT][NODE_COUNT][2];
    float vote_o2;                      // vote_slot[0], written by O2
    uint8_t protocol_state[NODE_COUNT]; // from each interface; values above 12 are stored as 0
    /// (action_time of the node - action_time of O2), folded once by 250 into -125..125, times 100; O2's
    /// own entry is 0.
    double slot_offset[NODE_COUNT];
    uint32_t bus_guardian_state[NODE_COUNT]; // BgState, 0..6
    /// The worst of protocol_state since the last ReadSnapshot (see the file comment), stored the same way.
    uint8_t worst_protocol_state[NODE_COUNT];
    /// The worst of bus_guardian_state since the last ReadSnapshot (see the file comment).
    uint32_t worst_bus_guardian_state[NODE_COUNT];
    uint32_t membership[NODE_COUNT][NODE_COUNT]; // [node][position]: membership flag in its C-state
    uint32_t null_frame[NODE_COUNT][NODE_COUNT]; // [node][position]: null-frame flag in its interface
};

/// The visualisation switches, in the order of the window's check boxes.
enum SineSwitch : unsigned {
    SWITCH_SINE_GRAPH,
    SWITCH_MEMBERSHIP,
    SWITCH_NODE_STATE,
    SWITCH_NODE_DATA,
    SWITCH_RESULTS,
    SWITCH_COUNT
};

/// Where a simulation thread finds its input and writes its logs.
struct SineThreadOptions {
    std::string directory;                        // configuration directory; "" = the working directory
    std::string trace_file = "debug.txt";         // appended; "" = no trace
    std::string injection_log = "injections.csv"; // appended (the program starts it fresh); "" = no log
    std::vector<InjectionRecord> replay = {};     // injections to replay (an injection log), none by default
    /// A lesson (a scenario file; no title: none). Its faults join the run when it starts, before any
    /// other; its stop rule holds for every model built with these options (see "Lessons" above).
    Scenario lesson = {};
    /// The replayed rows are this run's own, written to the injection log already by the model before
    /// (Back): they are not written again.
    bool replay_is_own = false;
    /// Where the run stops of itself, once, after it is started (see "Going back" above): once this many
    /// slots have closed, or before kernel step `stop_before_step` (as the log counts steps). 0: at once.
    std::optional<uint64_t> stop_after_slots = {};
    std::optional<uint64_t> stop_before_step = {};
};

/// A lesson fault's caption, as it fired.
struct LessonCaption {
    double time_us = 0.0; // when the fault fired
    uint32_t fault = 0;   // its number in the run's fault plan
    std::string text;
};

/// What the observer window shows: the recorder's slots and injections (a copy that keeps up with them),
/// its counters, and the stops made on an effect.
struct SlotEventsCopy {
    uint64_t model = 0; // which model the copy follows (each thread builds a new one); 0: none yet
    double sim_time = 0.0;
    BoundedLog<SlotColumn, SLOT_HISTORY> columns;
    BoundedLog<InjectionRecord, INJECTION_HISTORY> injections;
    BoundedLog<ReasonLine, REASON_HISTORY> reasons; // why nodes left APPLICATION or the membership
    NodeCounters counters[NODE_COUNT]{};
    uint64_t effect_stops = 0;           // times the run stopped on an effect
    uint64_t effect_column = 0;          // the slot of the last of them
    std::vector<LessonCaption> captions; // every caption of the lesson's faults that fired, oldest first
    bool lesson_time_stop = false;       // the run stopped at the lesson's stop_at_us
};

/// Slots of one TDMA round of the cluster: each of the four nodes sends once.
constexpr uint32_t SLOTS_PER_ROUND = NODE_COUNT;

/// The highest protocol state the window names; higher values are stored as 0.
constexpr uint8_t SNAPSHOT_MAX_PROTOCOL_STATE = 12;
/// Slot offsets are folded into -SLOT_OFFSET_FOLD / 2 .. SLOT_OFFSET_FOLD / 2 before scaling.
constexpr double SLOT_OFFSET_FOLD = 250.0;
constexpr double SLOT_OFFSET_SCALE = 100.0;
/// Bits of a non-finite float kept by the repair of the interfaces (the result is 2^127).
constexpr uint32_t NON_FINITE_REPAIR_MASK = 0x7f000000u;

/// The slot offset of a node from the two action times (see SineSnapshot::slot_offset).
double slot_offset_of(double action_time, double reference_action_time);

class TSineWaveThread : public TOrvikThread {
  public:
    using Ptr = TOrvikThread::Ptr<TSineWaveThread>;
    /// Told of every kernel error on the simulation thread, before it waits for acknowledgement. It must
    /// not block; the window posts the error to its own thread and acknowledges when its box is closed.
    using ErrorListener = std::function<void(uint8_t code, const char* message)>;

    explicit TSineWaveThread(SineThreadOptions options);
    ~TSineWaveThread() override;

    /// True when BuildModel could not assemble the cluster; the thread must then only be destroyed.
    bool BuildFailed() const { return build_result_ != ASSEMBLY_OK; }
    /// ASSEMBLY_OK or the assembly's failure code.
    int BuildResult() const { return build_result_; }
    /// Why the cluster could not be built (file, line, what to fix); empty after success.
    const std::string& BuildError() const { return build_error_; }
    /// What in the configuration looks wrong but was built anyway (file, line, what), one line each.
    const std::vector<std::string>& BuildWarnings() const { return build_warnings_; }

    /// Where it reads its input and writes its logs.
    const SineThreadOptions& Options() const { return options_; }

    /// Copies the whole snapshot under the model lock; the worst states then start afresh from the present
    /// ones (the window's refresh is their one reader).
    void ReadSnapshot(SineSnapshot* destination);

    /// One fault now, between two kernel steps; the snapshot is gathered again at once, so a stopped
    /// simulation shows the fault too.
    void InjectNow();
    /// A described fault (the fault panel's "Inject now") added to the run's fault plan between two kernel
    /// steps, as run_add_fault does for pelorin-sim: its `added` row and every row of what it does go to
    /// the injection log, so a replay of the log does it again at the same step. The plan makes it happen
    /// in its own kernel step, so a stopped run shows it after the next step. Returns the fault's number;
    /// 0 when no model was built. `fault` must be one fault_from_words accepted.
    uint32_t AddFault(const FaultSpec& fault);

    void SetSwitch(SineSwitch which, bool on) { switches_[which] = on ? 1u : 0u; }
    bool GetSwitch(SineSwitch which) const { return switches_[which].load() != 0; }

    /// The fault injector's settings (FaultEffect; faults per second, values outside 0 to
    /// MAX_FAULT_RATE_PER_S or not numbers are ignored; FaultTarget). Each reaches the injector at once,
    /// between two kernel steps.
    void SetFaultEffect(uint8_t effect);
    void SetFaultRate(double rate);
    void SetFaultTarget(uint32_t target);

    /// Brings `copy` up to date with the slot recorder (starting it afresh for another model).
    void ReadSlotEvents(SlotEventsCopy* copy);
    /// Stop the run at the end of each slot with an effect (see host/slot_events.h).
    void SetStopOnEffect(bool on);
    /// Runs on until `count` more slots have closed, as the slot recorder closes them (the observer's
    /// "Step slot", and "Step round" with SLOTS_PER_ROUND), then pauses itself as Stop would; Stop, or a
    /// stop on effect first, ends it sooner. 0 does nothing.
    void StepSlots(uint32_t count);
    /// Forgets a step under way (the window's Run and Stop), so a later run is not cut short by it.
    void CancelStep();
    /// The recorder's counters back to 0.
    void ResetSlotCounters();

    void SetErrorListener(ErrorListener listener);

    /// Acknowledges the kernel error the thread waits on; false when none is waiting yet (the error was
    /// announced but the thread has not begun to wait), so the caller tries again shortly.
    bool AcknowledgeKernelError();

    /// Every row of the run so far, replayed and new, in order (see "Going back"); empty once the run had
    /// more than MAX_RUN_ROWS (CanGoBack).
    std::vector<InjectionRecord> RunRows();
    /// Whether RunRows holds the whole run: a run with more rows keeps none, so that a stream of faults
    /// does not use up the memory.
    bool CanGoBack();
    static constexpr size_t MAX_RUN_ROWS = 1000000;
    /// Why the replay stopped the run ("" while it follows its log).
    std::string ReplayFailure();

    /// Goes back in this model to where `slot` begins (see "Back points"), the thread stopped: true when a
    /// back point serves, and the thread then runs there unpaced at its next Run and pauses; false, with
    /// nothing changed, when none does (the run is too young, keeps no rows, or waits on a kernel error):
    /// the caller then replays the run from time 0 in a new thread.
    bool GoBackInPlace(uint64_t slot);
    /// Back points kept, and the slots each stands at (tests, the benchmark).
    std::vector<uint64_t> BackPointSlots();
    static constexpr uint64_t BACK_POINT_SLOTS = 8192;
    static constexpr size_t MAX_BACK_POINTS = 64;

    /// The model, for inspection under WithModelLocked (tests).
    const Cluster& GetCluster() const { return run_.cluster; }

  protected:
    void BuildModel() override;
    bool Step(uint8_t* error_code) override;
    void AfterStep() override;
    void CycleEnded() override;
    void ReportKernelError(uint8_t code, const char* message) override;

  private:
    /// A point of the run to go back to (see "Back points"): the model and what the thread had gathered.
    struct BackPoint {
        RunCheckpoint run;
        SlotRecorderMark recorder;
        uint64_t closed = 0; // slots closed
        size_t rows = 0;     // rows of the run
        size_t captions = 0;
        uint64_t effect_stops = 0;
        uint64_t effect_column = 0;
        bool lesson_time_stop = false;
        bool lesson_effect_armed = false;
        bool lesson_effect_done = false;
        uint32_t guardian_failures_seen[NODE_COUNT]{};
    };
    /// Keeps a back point when one is due; model lock held, between two steps.
    void KeepBackPoint();
    void LogInjection(const InjectionRecord& record); // from inside an injection, under the model lock
    /// A fault or rate of the window's own while the replay has rows to come: the run branches off here.
    void LeaveReplay();
    /// Pauses once the point the options ask to stop at is reached; model lock held.
    void StopWhereAsked();
    void KeepCaption(const InjectionRecord& record); // likewise
    /// Runs f() on the model between two kernel steps; nothing when the model was never built.
    template <class F>
    void OnModel(F&& f) {
        if (!BuildFailed()) {
            WithModelLocked(std::forward<F>(f));
        }
    }
    /// The snapshot from the model; model lock held.
    void Gather();
    void GatherNodeData();
    /// The repair of non-finite message values (see the file comment).
    void RepairNodeData();
    /// Fills message_data_ from the model just built.
    void FindNodeData();
    void GatherNodeState();
    /// The worst states since the last read: the recorder's (taken whether or not node state is on, so
    /// nothing stale is kept while it is off) and the interfaces' after this step.
    void GatherWorstStates(bool node_state_on);
    /// The worst states become the present ones (after a read, and for the first snapshot).
    void RestartWorstStates();
    void GatherMembership();
    void LowerPriorityOnce();

    const SineThreadOptions options_;
    ClusterRun run_; // the model and its driver; model lock
    /// The data word of each sender's two messages in each node's interface, [node][sender][k], found once
    /// when the model is built (its memory stays where it is for the thread's life): the repair looks at
    /// them at every gathering and, unpaced, after every step that wrote into a message area.
    std::array<std::array<std::array<uint8_t*, 2>, NODE_COUNT>, NODE_COUNT> message_data_{};
    /// message_writes at the last repair (model lock); none yet: the next step looks in any case.
    std::optional<uint64_t> node_data_looked_at_;
    SineSnapshot snapshot_{}; // model lock
    std::array<std::atomic<uint32_t>, SWITCH_COUNT> switches_{};
    int build_result_ = ASSEMBLY_OK;
    std::string build_error_;
    std::vector<std::string> build_warnings_;

    uint64_t model_number_; // model lock; distinguishes this model from earlier ones (and from before Back)
    SlotRecorder recorder_; // model lock
    uint64_t effect_stops_ = 0;           // model lock
    uint64_t effect_column_ = 0;          // model lock
    std::vector<LessonCaption> captions_; // model lock
    bool lesson_time_stop_ = false;       // model lock; the stop at the lesson's time was made
    bool window_stop_on_effect_ = false;  // model lock; SetStopOnEffect's choice
    bool lesson_effect_armed_ = false;    // model lock; a lesson fault fired, its effect stop is due
    bool lesson_effect_done_ = false;     // model lock; the lesson stopped on its effect
    uint64_t step_goal_ = 0;              // model lock; StepSlots pauses once this many slots closed; 0: none
    uint32_t guardian_failures_seen_[NODE_COUNT]{}; // model lock; each guardian's failure count, last gather
    bool worst_gathered_ = false;                   // model lock; node state was on at the last gather

    std::vector<InjectionRecord> run_rows_; // model lock; every row of the run
    bool run_rows_dropped_ = false;         // model lock; more than MAX_RUN_ROWS: none are kept
    std::string replay_failure_;            // model lock
    bool asked_stop_due_ = false;           // model lock; stop_after_slots or stop_before_step not reached
    size_t replayed_rows_ = 0;              // model lock; the first rows of the run that are replays
    bool rows_are_own_ = false;             // model lock; the replayed rows are in the injection log already
    std::optional<uint64_t> stop_after_slots_; // model lock; where the run stops of itself (see the options)
    std::optional<uint64_t> stop_before_step_; //
    std::vector<BackPoint> back_points_;       // model lock; in the order of the run
    uint64_t back_point_spacing_ = BACK_POINT_SLOTS; // model lock
    uint64_t next_back_point_ = BACK_POINT_SLOTS;    // model lock; slots closed at the next point
    InjectionCsvWriter injection_log_;               // model lock; opened at the first injection
    bool injection_log_failed_ = false;
    bool trace_failure_said_ = false; // model lock

    std::mutex listener_lock_;
    ErrorListener error_listener_;

    bool priority_lowered_ = false; // simulation thread only
};
