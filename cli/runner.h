// The headless runner: builds the cluster from a configuration directory, runs the kernel unpaced until a
// number of cluster cycles (counted by O2's host) or a simulated time, optionally injects faults at a rate
// inside a time window, and summarises what the protocol and the application did. pelorin-sim and the
// system tests run through the same code.
#pragma once

#include "host/cluster.h"
#include "host/injection_log.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

struct RunOptions {
    std::string directory;                // configuration directory ("" = working directory)
    uint32_t cycles = 1000;               // stop when O2's host has counted this many cluster cycles
    double until_us = -1.0;               // stop at this simulated time instead (when >= 0)
    bool trace = true;                    // write the trace
    std::string trace_file = "debug.txt"; // appended
    bool fingerprint = false;             // hash every trace byte (works with the trace off too)
    double inject_rate = 0.0;             // faults per second
    uint8_t effect = FAULT_FLIP;
    uint32_t target = TARGET_CNI;
    double inject_from_us = 0.0;
    double inject_until_us = -1.0; // < 0: no end
    uint32_t seed = FAULT_INJECTOR_SEED;
    std::string injection_log; // append every injection to this CSV file ("" = none)
    /// Injections to apply instead of drawing them: each at the kernel step number it was made at.
    std::vector<InjectionRecord> replay;
    /// Called between kernel steps (progress display, replays); return false to stop the run.
    std::function<bool(const Cluster&)> between_steps;
    /// Called for every kernel error with its message (the run goes on).
    std::function<void(uint8_t code, const char* message)> on_kernel_error;
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

enum class RunEnd {
    COMPLETED,       // the cycles or the time were reached
    HORIZON,         // the cycles were not reached within the safety horizon of simulated time
    TIME_STUCK,      // simulated time stopped advancing
    STOPPED,         // between_steps asked to stop
    REPLAY_DIVERGED, // the replayed log does not match this run (another configuration or log)
    OUTPUT_FAILED,   // the injection log could not be written
    ASSEMBLY_FAILED, // the cluster could not be built
};

struct RunSummary {
    RunEnd end = RunEnd::COMPLETED;
    std::string message; // why the run ended early, or why the cluster could not be built
    double sim_time_us = 0.0;
    uint32_t cluster_cycles = 0;
    uint32_t cluster_mode = 0;
    uint64_t events = 0;
    uint32_t kernel_errors = 0;
    uint32_t injections = 0;
    double wall_time_s = 0.0;
    uint32_t laser_hits = 0;
    uint32_t laser_misses = 0;
    uint64_t trace_fingerprint = 0;
    std::vector<NodeSummary> nodes;
};

/// Steps without simulated time advancing after which a run is declared stuck.
constexpr uint64_t STUCK_STEPS = 1000000;
/// Simulated time allowed per requested cluster cycle before a run gives up (startup and restarts
/// included): ten cycles of 2000 macroticks, plus a fixed allowance.
constexpr double HORIZON_PER_CYCLE_US = 20000.0;
constexpr double HORIZON_ALLOWANCE_US = 1.0e6;

/// Runs one simulation in a fresh kernel and disposes of it afterwards.
RunSummary run_simulation(const RunOptions& options);
/// The summary of a built cluster at the present time.
RunSummary summarise(const Cluster& cluster);
/// One JSON object / readable text of a summary.
std::string summary_json(const RunSummary& summary);
std::string summary_text(const RunSummary& summary);
