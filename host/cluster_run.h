// One way to build and run the cluster: every front end (pelorin-sim's single runs and campaigns, the
// window's simulation thread, the system tests) assembles and steps the model through this driver, so the
// trace, the fault injector's settings, the injection window, replays, the stall check and the horizon are
// handled in one place.
//
// A run, in four calls:
//
//     ClusterConfig config;                            // read and checked first (host/cluster_config.h)
//     read_cluster_config(directory, overrides, &config, &why);
//     ClusterRun run;                                  // must not move once started (the cluster is in it)
//     start_run(&run, config, settings, hooks);        // fresh kernel, trace, assembly, seed, fault settings
//     run_until(&run, RunLimit{...});                  // to a stop condition; may be called again to go on
//     finish_run(&run);                                // disposes of the model, stops the trace
//
// or run_step(&run) once per kernel step, for the window's paced thread. Assembly is kept apart from
// running, a run can stop at a simulated time and go on later in the same process, and all model state is
// in kernel-owned records and this record, so a process may be copied (fork) between two steps and both
// copies go on independently.
//
// One kernel step, as run_step and run_until take it:
//   1. before the step, in this order: the trace's health (with stop_on_trace_failure, a trace file that
//      could not be opened or written ends the run, before the first step when it failed at once), every
//      sample due (hooks.on_sample for each multiple of
//      hooks.sample_period_us up to hooks.sample_until_us that is not after the next event's time), the
//      injection window (periodic injection is switched on at inject_from_us and off before the first event
//      at or after inject_until_us, so no periodic injection happens at or after it),
//      the replayed injections due at this step number, and hooks.before_step;
//   2. the scheduler step (next_event); a kernel error is counted and handed to hooks.on_kernel_error, and
//      the run goes on;
//   3. the stall check: STUCK_STEPS steps in a row without the simulated time advancing end the run
//      (RunEnd::TIME_STUCK);
//   4. hooks.after_step; false ends the run (RunEnd::STOPPED).
// run_until checks its limit between 1 and 2: it ends once O2's host has counted `cycles` cluster cycles,
// before the first event later than `until_us` (RunEnd::HORIZON when a cycle goal was not reached by
// then, else RunEnd::COMPLETED), or once `steps` kernel steps have run. Any hook may end the run with
// stop_run.
//
// Injections. Every injection (periodic, replayed, or made by a hook) reaches hooks.on_injection. A replay
// applies logged injections at the kernel step numbers they were made at; a periodic one stands for the
// injector's own event, which the replay does not run: the time moves to that event's time and the step
// is counted (RunSummary events include these stand-ins).
//
// Described faults. settings.faults go to the run's fault plan (host/fault_plan.h) when it starts; more can
// be added between steps (run_add_fault). Every row the plan reports reaches hooks.on_injection too, and
// after every step the plan's stuck bits are put back. A replay adds each logged fault again at the step it
// was added at; the plan then does what it did, in its own events, and every row it reports must be the
// next row of the log (else the replay ends as REPLAY_DIVERGED).
#pragma once

#include "host/cluster.h"
#include "host/fault_spec.h"
#include "host/injection_log.h"

#include <cstdint>
#include <functional>
#include <limits>
#include <string>
#include <vector>

/// Steps without simulated time advancing after which a run is declared stuck.
constexpr uint64_t STUCK_STEPS = 1000000;

/// How a run was set up; fixed when it starts.
struct RunSettings {
    bool trace = true;                    // write the trace to trace_file (appended)
    std::string trace_file = "debug.txt"; //
    bool fingerprint = false;             // hash every trace byte (works with the trace off too)
    bool stop_on_trace_failure = false;   // a trace line that cannot be written ends the run (OUTPUT_FAILED)
    /// Simulated time at which the model is built and starts (microseconds); a run that starts late shows
    /// what hours of running do to times without simulating the hours before.
    double start_us = 0.0;
    uint32_t seed = FAULT_INJECTOR_SEED; // of the fault injector's random stream
    uint8_t effect = FAULT_FLIP;         // FaultEffect
    uint32_t target = TARGET_CNI;        // FaultTarget
    unsigned fault_node = NODE_O1;       // whose memory the injector changes (campaigns of another node)
    double inject_rate = 0.0;            // faults per second inside the injection window
    double inject_from_us = 0.0;
    double inject_until_us = -1.0; // < 0: no end
    /// Described faults (host/fault_spec.h), added to the run's fault plan when it starts, in this order.
    std::vector<FaultSpec> faults;
    /// Injections to apply instead of drawing them, at the kernel step numbers they were made at; and the
    /// described faults a log holds, added again at the steps they were added at (the rows of what they
    /// did are then checked against what they do again).
    std::vector<InjectionRecord> replay;
    /// Once every row of `replay` was applied, the run goes on as a run of its own: what its faults do
    /// from then on is new, not a divergence (the window going back in its own run). Without it a row
    /// after the log's last ends the run as REPLAY_DIVERGED.
    bool replay_goes_on = false;
};

struct ClusterRun;

/// What a front end is told of, and may do, while the run goes on. Every hook is optional.
struct RunHooks {
    /// Once the cluster is assembled, before the run's faults are added and before the first step: where a
    /// front end attaches what watches the model (the slot recorder), so it sees every row from the first.
    std::function<void(ClusterRun&)> on_built;
    /// Between steps, after the samples and injections due (step 1); e.g. injections at given times.
    std::function<void(ClusterRun&)> before_step;
    /// After every step (step 4): progress, observers; false ends the run (STOPPED).
    std::function<bool(ClusterRun&)> after_step;
    /// Called with the sample time for every multiple of sample_period_us (> 0) up to sample_until_us, before
    /// the first event later than it runs; the model then shows the state at that time.
    std::function<void(ClusterRun&, double time_us)> on_sample;
    double sample_period_us = 0.0;
    double sample_until_us = std::numeric_limits<double>::infinity();
    /// Every injection, and every row of a described fault, as the injection log records it.
    std::function<void(ClusterRun&, const InjectionRecord&)> on_injection;
    /// Every kernel error of a step, with its message (the run goes on).
    std::function<void(uint8_t code, const char* message)> on_kernel_error;
};

enum class RunEnd {
    COMPLETED,       // the cycles or the time were reached
    HORIZON,         // the cycles were not reached within the simulated time allowed
    TIME_STUCK,      // simulated time stopped advancing
    STOPPED,         // a hook asked to stop
    REPLAY_DIVERGED, // the replayed log does not match this run (another configuration or log), or the run
                     // ended before some of its rows
    OUTPUT_FAILED,   // an output of the run (the trace, the injection log) could not be written
    ASSEMBLY_FAILED, // the cluster could not be built (set by front ends that read the configuration)
};

/// Where run_until stops.
struct RunLimit {
    uint32_t cycles = 0; // cluster cycles of O2's host; 0: no cycle goal
    double until_us = std::numeric_limits<double>::infinity(); // run no event later than this
    uint64_t steps = std::numeric_limits<uint64_t>::max();     // run no step beyond this many kernel steps
};

/// How far a run has got: the driver's own fields, which a checkpoint (host/run_checkpoint.h) keeps with the
/// model.
struct RunProgress {
    bool running = false; // started and not yet finished
    bool ending = false;  // a stop was asked for; run_until returns before the next step
    RunEnd end = RunEnd::COMPLETED;
    std::string message; // why the run ended early
    uint32_t kernel_errors = 0;
    uint8_t last_error = 0; // code of the last kernel error
    uint64_t same_time_steps = 0;
    double last_time = 0.0;
    bool injecting = false; // inside the injection window with the rate applied
    double next_sample_us = 0.0;
    size_t replay_next = 0;       // the next row of settings.replay
    uint64_t replay_standins = 0; // replayed periodic injections: steps the replay did not run
};

struct ClusterRun : RunProgress {
    Cluster cluster{};
    RunSettings settings;
    RunHooks hooks;

    ClusterRun() = default;
    ClusterRun(const ClusterRun&) = delete;
    ClusterRun& operator=(const ClusterRun&) = delete;
};

/// Initialises the kernel, sets the trace, assembles the cluster from `config` and applies the settings
/// (seed, effect, target; the rate follows the injection window). The trace file is set before the kernel is
/// initialised, so the assembly's own lines are in it.
void start_run(ClusterRun* run, const ClusterConfig& config, RunSettings settings, RunHooks hooks = {});
/// Runs steps until a stop condition (see the file comment); returns why it stopped (also in run->end).
/// Called again after COMPLETED with a later limit, it goes on where it stopped.
RunEnd run_until(ClusterRun* run, const RunLimit& limit);
/// Whether the step was run; a run whose stop was asked for before the step (by a replay or a hook) runs
/// no step.
enum class StepResult { STEPPED, KERNEL_ERROR, ENDED };
/// One step with everything around it (the window's paced thread). The stall check only records the stall
/// (run->end, run->ending); the caller decides whether to go on.
StepResult run_step(ClusterRun* run);
/// When a replaying run is over: ends it with REPLAY_DIVERGED, naming the first row, when rows of the log
/// were never applied (a replay applies all of its log or fails); false then.
bool finish_replay(ClusterRun* run);
/// Whether rows of the replay are still to be applied.
bool run_replay_pending(const ClusterRun& run);
/// The run leaves its log here (between two steps): the rows not applied yet are forgotten, and from now
/// on it goes on as a run of its own (replay_goes_on). For a fault or a setting that the log does not hold.
void run_drop_pending_replay(ClusterRun* run);
/// Asks the run to end with `end` and `message` (from a hook: before the next step).
void stop_run(ClusterRun* run, RunEnd end, std::string message);
/// Disposes of the model and stops the trace and its fingerprint. Idempotent.
void finish_run(ClusterRun* run);

/// The run's model state (kernel/sim_state.h): every kernel object, then the cluster record.
void run_state(const ClusterRun& run, StateSink* sink);
/// run_state's digest.
StateDigest run_state_digest(const ClusterRun& run);

/// Adds a described fault to the run from now on (between two steps), making the run's fault plan when it
/// has none; returns the fault's number.
uint32_t run_add_fault(ClusterRun* run, const FaultSpec& fault);

/// Injection settings changed while the run goes on (the window's controls), each applied at once: a new
/// rate holds from now on with no end, a new target re-aims the injector when it differs.
void set_run_fault_rate(ClusterRun* run, double rate);
void set_run_fault_effect(ClusterRun* run, uint8_t effect);
void set_run_fault_target(ClusterRun* run, uint32_t target);
/// Aims the injector at `node`'s memory when it is aimed elsewhere (a replayed row of another node's bit).
void set_run_fault_node(ClusterRun* run, unsigned node);

/// Simulated time allowed for `cycles` cluster cycles from start-up (restarts included): ten cycles of 2000
/// macroticks each, plus a fixed allowance.
constexpr double HORIZON_PER_CYCLE_US = 20000.0;
constexpr double HORIZON_ALLOWANCE_US = 1.0e6;
double cycle_horizon_us(uint32_t cycles);
