// The headless runner: runs the cluster unpaced until a number of cluster cycles (counted by O2's host) or a
// simulated time, optionally injecting faults at a rate inside a time window, logging or replaying them, and
// summarises what the protocol and the application did, optionally writing what happened slot by slot.
// pelorin-sim and the system tests run through it; the run itself is the shared driver's
// (host/cluster_run.h).
#pragma once

#include "host/cluster_run.h"

#include <cstdint>
#include <string>
#include <vector>

/// The driver's settings (trace, seed, fault effect, target, rate window, replay) and the runner's own.
struct RunOptions : RunSettings {
    std::string directory;     // configuration directory ("" = working directory), read by run_simulation
    ConfigOverrides overrides; // values given instead of the files'
    uint32_t cycles = 1000;    // stop when O2's host has counted this many cluster cycles
    double until_us = -1.0;    // stop at this simulated time instead (when >= 0)
    std::string injection_log; // write every injection to this CSV file ("" = none)
    bool append_injection_log = false; // add to the log (which must be one) instead of replacing it
    std::string slot_events; // write the slot-event CSV (host/slot_events.h) to this file ("" = none)
    RunHooks hooks;          // progress display, kernel errors; the runner adds the injection log's own
};

struct NodeSummary {
    std::string name;
    uint32_t protocol_state;
    std::string state_name;
    uint32_t membership[NODE_COUNT];
    uint32_t null_frame[NODE_COUNT];
    uint32_t bus_guardian_state;
    uint32_t bus_guardian_failures;
    uint32_t controller_starts;
};

struct RunSummary {
    RunEnd end = RunEnd::COMPLETED;
    std::string message; // why the run ended early, or why the cluster could not be built
    double sim_time_us = 0.0;
    uint32_t cluster_cycles = 0;
    uint32_t cluster_mode = 0;
    uint64_t events = 0;
    uint32_t kernel_errors = 0;
    uint32_t injections = 0;                // by the fault injector
    uint32_t faults[FAULT_KIND_COUNT] = {}; // occurrences of described faults, by kind
    double wall_time_s = 0.0;
    uint32_t laser_hits = 0;
    uint32_t laser_misses = 0;
    bool has_trace_fingerprint = false; // computed when the settings asked for it (RunSettings::fingerprint)
    uint64_t trace_fingerprint = 0;     // FNV-1a of every byte of the trace text, written or not
    std::vector<NodeSummary> nodes;
};

/// Reads and checks the configuration before anything is written. On failure prints the start-up message
/// with the reason (file, line, what to fix) to stderr and returns false; on success prints each warning to
/// stderr ("<program>: warning: ...") and returns true.
bool load_configuration(const std::string& directory, const ConfigOverrides& overrides, ClusterConfig* config,
                        const char* program);
/// Runs one simulation of `config` in a fresh kernel and disposes of it afterwards. It does not report as
/// completed a run whose trace lost lines (OUTPUT_FAILED) or a replay that left rows of its log unapplied
/// (REPLAY_DIVERGED).
RunSummary run_simulation(const ClusterConfig& config, const RunOptions& options);
/// The same with the configuration read from options.directory (with options.overrides); a configuration
/// that cannot be read gives RunEnd::ASSEMBLY_FAILED with the reason as message.
RunSummary run_simulation(const RunOptions& options);
/// The summary of a built cluster at the present time.
RunSummary summarise(const Cluster& cluster);
/// One JSON object / readable text of a summary.
std::string summary_json(const RunSummary& summary);
std::string summary_text(const RunSummary& summary);
