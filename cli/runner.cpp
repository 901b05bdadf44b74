#include "cli/runner.h"

#include "host/fault_plan.h"
#include "host/slot_events.h"
#include "kernel/trace.h"
#include "ttpc/fp1busg.h"

#include <nlohmann/json.hpp>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <sstream>

namespace {

/// The injection log of a run: rows appended as injections happen; a row that cannot be written ends the run.
struct InjectionLog {
    const std::string& path;
    InjectionCsvWriter writer;

    void append(ClusterRun& run, const InjectionRecord& record) {
        if (!writer.append(record)) {
            stop_run(&run, RunEnd::OUTPUT_FAILED, path + ": an injection could not be written");
        }
    }
};

/// The slot-event CSV of a run: the header, then each slot's rows as the slot closes; a slot that cannot be
/// written ends the run.
struct SlotEventsFile {
    const std::string& path;
    std::FILE* file = nullptr;
    SlotRecorder recorder;

    explicit SlotEventsFile(const std::string& file_path) : path(file_path) {}
    SlotEventsFile(const SlotEventsFile&) = delete;
    SlotEventsFile& operator=(const SlotEventsFile&) = delete;
    bool open(std::string* why) {
        file = std::fopen(path.c_str(), "w");
        if (file == nullptr || std::fprintf(file, "%s\n", SLOT_EVENTS_CSV_HEADER) < 0) {
            *why = path + ": cannot be written (" + std::strerror(errno) + ")";
            return false;
        }
        return true;
    }
    void attach(ClusterRun* run) {
        attach_slot_recorder(&recorder, &run->cluster);
        recorder.on_column = [this, run](const SlotRecorder& r, const SlotColumn& column) {
            if (std::fputs(slot_event_csv_rows(column, r.injections).c_str(), file) < 0) {
                stop_run(run, RunEnd::OUTPUT_FAILED, path + ": a slot could not be written");
            }
        };
    }
    /// Stops recording; false when the file could not be completed.
    bool close() {
        if (file == nullptr) {
            return true;
        }
        detach_slot_recorder(&recorder);
        const bool written = std::ferror(file) == 0;
        const bool closed = std::fclose(file) == 0;
        file = nullptr;
        return closed && written;
    }
    ~SlotEventsFile() { (void)close(); }
};

RunSummary failed_before_the_run(RunEnd end, const std::string& message) {
    RunSummary failed;
    failed.end = end;
    failed.message = message;
    return failed;
}

} // namespace

RunSummary summarise(const Cluster& cluster) {
    RunSummary summary;
    summary.sim_time_us = sim_time();
    summary.cluster_cycles = cluster.apps[NODE_O2].os->cycle_count;
    summary.cluster_mode = get_cluster_mode(cluster.controllers[NODE_O2]->working_status.cstate);
    summary.events = step_count();
    summary.injections = cluster.fault_injector->injections;
    for (unsigned k = 0; k < FAULT_KIND_COUNT; ++k) {
        summary.faults[k] = fault_count(cluster.fault_plan, static_cast<FaultKind>(k));
    }
    summary.laser_hits = cluster.laser->hits;
    summary.laser_misses = cluster.laser->misses;
    for (unsigned n = 0; n < NODE_COUNT; ++n) {
        const TtpController* c = cluster.controllers[n];
        const CniStatus& status = c->cni.status;
        NodeSummary node{};
        node.name = CLUSTER_NODES[n].name;
        node.protocol_state = get_protocol_state(status);
        node.state_name = state_name(static_cast<uint8_t>(node.protocol_state));
        for (unsigned p = 0; p < NODE_COUNT; ++p) {
            node.membership[p] = get_membership(status.cstate, p);
            node.null_frame[p] = get_null_frame(status, p);
        }
        node.bus_guardian_state = c->bus_guardian->bg_state;
        node.bus_guardian_failures = c->bus_guardian->failure_count;
        node.controller_starts = cluster.apps[n].os->controller_starts;
        summary.nodes.push_back(node);
    }
    return summary;
}

RunSummary run_simulation(const ClusterConfig& config, const RunOptions& options) {
    const auto wall_start = std::chrono::steady_clock::now();
    InjectionLog log{options.injection_log, {}};
    std::string why;
    const LogOpening opening = options.append_injection_log ? LogOpening::APPEND : LogOpening::FRESH;
    if (!options.injection_log.empty() && !log.writer.open(options.injection_log, opening, &why)) {
        return failed_before_the_run(RunEnd::OUTPUT_FAILED, why);
    }
    SlotEventsFile slot_events(options.slot_events);
    if (!options.slot_events.empty() && !slot_events.open(&why)) {
        return failed_before_the_run(RunEnd::OUTPUT_FAILED, why);
    }
    RunHooks hooks = options.hooks;
    hooks.on_injection = [&](ClusterRun& run, const InjectionRecord& record) {
        if (!options.injection_log.empty()) {
            log.append(run, record);
        }
        if (slot_events.file != nullptr) {
            slot_recorder_injection(&slot_events.recorder, record);
        }
        if (options.hooks.on_injection) {
            options.hooks.on_injection(run, record);
        }
    };
    hooks.on_built = [&](ClusterRun& built) {
        if (slot_events.file != nullptr) {
            slot_events.attach(&built);
        }
        if (options.hooks.on_built) {
            options.hooks.on_built(built);
        }
    };
    RunSettings settings = options;
    settings.stop_on_trace_failure = true; // a run whose trace lost lines is not reported as done
    ClusterRun run;
    start_run(&run, config, std::move(settings), std::move(hooks));
    RunLimit limit;
    if (options.until_us >= 0.0) {
        limit.until_us = options.until_us;
    } else {
        limit.cycles = options.cycles;
        limit.until_us = options.start_us + cycle_horizon_us(options.cycles);
    }
    if (run_until(&run, limit) == RunEnd::COMPLETED) {
        (void)finish_replay(&run); // a replay that left rows unapplied ends as REPLAY_DIVERGED
    }
    RunSummary summary = summarise(run.cluster);
    summary.events += run.replay_standins; // each replayed periodic injection stands for the injector's event
    summary.end = run.end;
    summary.message = run.message;
    summary.kernel_errors = run.kernel_errors;
    summary.has_trace_fingerprint = options.fingerprint;
    summary.trace_fingerprint = options.fingerprint ? trace_fingerprint() : 0;
    if (!slot_events.close() && summary.end == RunEnd::COMPLETED) {
        summary.end = RunEnd::OUTPUT_FAILED;
        summary.message = options.slot_events + ": the slot events could not be completed";
    }
    finish_run(&run);
    summary.wall_time_s =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - wall_start).count();
    return summary;
}

bool load_configuration(const std::string& directory, const ConfigOverrides& overrides, ClusterConfig* config,
                        const char* program) {
    std::string why;
    if (read_cluster_config(directory, overrides, config, &why) != ASSEMBLY_OK) {
        std::fprintf(stderr, "%s\n\nReason: %s\n", STARTUP_ERROR_TEXT, why.c_str());
        return false;
    }
    for (const std::string& warning : config->warnings) {
        std::fprintf(stderr, "%s: warning: %s\n", program, warning.c_str());
    }
    return true;
}

RunSummary run_simulation(const RunOptions& options) {
    ClusterConfig config;
    std::string why;
    if (read_cluster_config(options.directory, options.overrides, &config, &why) != ASSEMBLY_OK) {
        return failed_before_the_run(RunEnd::ASSEMBLY_FAILED, why);
    }
    return run_simulation(config, options);
}

std::string summary_json(const RunSummary& s) {
    nlohmann::json fault_counts = nlohmann::json::object(); // the kinds that occurred
    for (unsigned k = 0; k < FAULT_KIND_COUNT; ++k) {
        if (s.faults[k] > 0) {
            fault_counts[fault_kind_name(static_cast<FaultKind>(k))] = s.faults[k];
        }
    }
    nlohmann::json nodes = nlohmann::json::array();
    for (const NodeSummary& n : s.nodes) {
        nodes.push_back({{"name", n.name},
                         {"protocol_state", n.protocol_state},
                         {"state_name", n.state_name},
                         {"membership", n.membership},
                         {"null_frame", n.null_frame},
                         {"bus_guardian_state", n.bus_guardian_state},
                         {"bus_guardian_failures", n.bus_guardian_failures},
                         {"controller_starts", n.controller_starts}});
    }
    nlohmann::json j = {{"sim_time_us", s.sim_time_us},
                        {"cluster_cycles", s.cluster_cycles},
                        {"cluster_mode", s.cluster_mode},
                        {"events", s.events},
                        {"kernel_errors", s.kernel_errors},
                        {"injections", s.injections},
                        {"faults", fault_counts},
                        {"wall_time_s", s.wall_time_s},
                        {"laser", {{"hits", s.laser_hits}, {"misses", s.laser_misses}}},
                        {"completed", s.end == RunEnd::COMPLETED},
                        {"nodes", nodes}};
    if (!s.message.empty()) {
        j["message"] = s.message;
    }
    if (s.has_trace_fingerprint) {
        char fingerprint[20];
        std::snprintf(fingerprint, sizeof fingerprint, "%016llx",
                      static_cast<unsigned long long>(s.trace_fingerprint));
        j["trace_fingerprint"] = fingerprint;
    }
    return j.dump(2);
}

std::string summary_text(const RunSummary& s) {
    std::ostringstream out;
    char line[200];
    std::snprintf(line, sizeof line, "simulated time   %.4f us (%u cluster cycles, cluster mode %u)\n",
                  s.sim_time_us, s.cluster_cycles, s.cluster_mode);
    out << line;
    std::snprintf(line, sizeof line, "events           %llu in %.3f s, %u kernel errors, %u injections\n",
                  static_cast<unsigned long long>(s.events), s.wall_time_s, s.kernel_errors, s.injections);
    out << line;
    std::snprintf(line, sizeof line, "laser            %u hits, %u misses\n", s.laser_hits, s.laser_misses);
    out << line;
    std::string faults;
    for (unsigned k = 0; k < FAULT_KIND_COUNT; ++k) {
        if (s.faults[k] > 0) {
            faults += (faults.empty() ? "" : ", ") + std::string(fault_kind_name(static_cast<FaultKind>(k))) +
                      " " + std::to_string(s.faults[k]);
        }
    }
    if (!faults.empty()) {
        out << "faults           " << faults << "\n";
    }
    out << "node  state        membership  null frame  bus guardian     failures  starts\n";
    for (const NodeSummary& n : s.nodes) {
        std::snprintf(line, sizeof line, "%-4s  %-11s  [%u%u%u%u]      [%u%u%u%u]      %-15s  %8u  %6u\n",
                      n.name.c_str(), n.state_name.c_str(), n.membership[0], n.membership[1], n.membership[2],
                      n.membership[3], n.null_frame[0], n.null_frame[1], n.null_frame[2], n.null_frame[3],
                      bg_state_name(n.bus_guardian_state), n.bus_guardian_failures, n.controller_starts);
        out << line;
    }
    if (!s.message.empty()) {
        out << "note: " << s.message << "\n";
    }
    return out.str();
}
