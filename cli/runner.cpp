#include "cli/runner.h"

#include "kernel/trace.h"
#include "ttpc/fp1busg.h"

#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdio>
#include <memory>
#include <sstream>

namespace {

std::string trimmed_state_name(uint32_t state) {
    std::string name = ctrl_state_name(state);
    while (!name.empty() && name.back() == ' ') {
        name.pop_back();
    }
    return name;
}

/// Switches periodic injection on and off at the edges of the injection window.
struct InjectionWindow {
    const RunOptions& options;
    bool active = false;

    void update(FaultInjector* fi) {
        if (options.inject_rate <= 0.0) {
            return;
        }
        const double now = sim_time();
        const bool inside =
            now >= options.inject_from_us && (options.inject_until_us < 0 || now < options.inject_until_us);
        if (inside != active) {
            active = inside;
            set_fault_rate(fi, inside ? options.inject_rate : 0.0);
        }
    }
};

/// Applies the logged injections at their step numbers. A periodic injection stands for the injector's own
/// event, which the replay does not run: the time moves to that event's time and the step is counted.
struct Replay {
    const std::vector<InjectionRecord>& rows;
    size_t next = 0;
    uint64_t standins = 0;

    /// Applies every row due now; false with a reason when the log and the run part ways.
    bool apply_due(Cluster& cluster, std::string* why) {
        FaultInjector* fi = cluster.fault_injector;
        while (next < rows.size() && rows[next].step == step_count() + standins) {
            const InjectionRecord& r = rows[next];
            if (r.target != cluster.fault_target) {
                set_fault_target(&cluster, r.target);
            }
            if (r.source == SOURCE_PERIODIC && !advance_time(r.time)) {
                *why = "replay: row " + std::to_string(next + 1) + " at " + std::to_string(r.time) +
                       " us does not fall between the run's events at step " + std::to_string(r.step);
                return false;
            }
            const uint32_t present =
                fi->areas.empty() ? 0 : fi->areas[0][r.word < fi->word_count ? r.word : 0];
            if (present != r.before || !inject_bit(fi, r.word, r.bit, r.effect, r.source)) {
                char text[200];
                std::snprintf(
                    text, sizeof text,
                    "replay: row %zu (step %llu, word %u) finds 0x%08x where the log has 0x%08x: the log "
                    "belongs to another configuration or run",
                    next + 1, static_cast<unsigned long long>(r.step), r.word, present, r.before);
                *why = text;
                return false;
            }
            standins += r.source == SOURCE_PERIODIC ? 1 : 0;
            next += 1;
        }
        if (next < rows.size() && rows[next].step < step_count() + standins) {
            *why = "replay: row " + std::to_string(next + 1) + " names step " +
                   std::to_string(rows[next].step) + ", which the run has passed";
            return false;
        }
        return true;
    }
};

struct LogContext {
    InjectionCsvWriter* writer;
    bool failed;
};

void log_injection(void* context, const InjectionRecord& record) {
    auto* log = static_cast<LogContext*>(context);
    if (!log->writer->append(record, "O1")) {
        log->failed = true;
    }
}

} // namespace

RunSummary summarise(const Cluster& cluster) {
    RunSummary summary;
    summary.sim_time_us = sim_time();
    summary.cluster_cycles = cluster.apps[NODE_O2].os->cycle_count;
    summary.cluster_mode = get_cluster_mode(cluster.controllers[NODE_O2]->working_status.cstate);
    summary.events = step_count();
    summary.injections = cluster.fault_injector->injections;
    summary.laser_hits = cluster.laser->hits;
    summary.laser_misses = cluster.laser->misses;
    for (unsigned n = 0; n < NODE_COUNT; ++n) {
        const TtpController* c = cluster.controllers[n];
        const CniStatus& status = c->cni.status;
        NodeSummary node{};
        const std::string full = c->name; // "Controller M1" -> "M1"
        const size_t space = full.rfind(' ');
        node.name = space == std::string::npos ? full : full.substr(space + 1);
        node.protocol_state = get_protocol_state(status);
        node.state_name = trimmed_state_name(node.protocol_state);
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

RunSummary run_simulation(const RunOptions& options) {
    const auto wall_start = std::chrono::steady_clock::now();
    if (options.trace) {
        trace_to_file(options.trace_file.c_str());
    } else {
        trace_off();
    }
    if (options.fingerprint) {
        trace_fingerprint_start();
    }
    inic_kernel();
    auto cluster = std::make_unique<Cluster>();
    std::string why;
    if (assemble_cluster(cluster.get(), options.directory.c_str(), &why) != ASSEMBLY_OK) {
        dispose_all();
        trace_fingerprint_stop();
        RunSummary failed;
        failed.end = RunEnd::ASSEMBLY_FAILED;
        failed.message = why;
        return failed;
    }
    FaultInjector* fi = cluster->fault_injector;
    seed_random(fi->rng, options.seed);
    set_fault_effect(fi, options.effect);
    set_fault_target(cluster.get(), options.target);
    InjectionCsvWriter writer;
    LogContext log{&writer, false};
    if (!options.injection_log.empty()) {
        std::string reason;
        if (!writer.open(options.injection_log, &reason)) {
            dispose_all();
            trace_fingerprint_stop();
            RunSummary failed;
            failed.end = RunEnd::OUTPUT_FAILED;
            failed.message = reason;
            return failed;
        }
        fi->listener = log_injection;
        fi->listener_context = &log;
    }
    Replay replay{options.replay};

    const bool by_time = options.until_us >= 0.0;
    const double horizon =
        by_time ? options.until_us
                : HORIZON_ALLOWANCE_US + HORIZON_PER_CYCLE_US * static_cast<double>(options.cycles);
    InjectionWindow window{options};
    uint32_t kernel_errors = 0;
    uint64_t same_time_steps = 0;
    double last_time = sim_time();
    RunEnd end = RunEnd::COMPLETED;
    std::string message;
    for (;;) {
        if (options.replay.empty()) {
            window.update(fi);
        } else if (!replay.apply_due(*cluster, &message)) {
            end = RunEnd::REPLAY_DIVERGED;
            break;
        }
        if (log.failed) {
            end = RunEnd::OUTPUT_FAILED;
            message = options.injection_log + ": an injection could not be written";
            break;
        }
        if (!by_time && cluster->apps[NODE_O2].os->cycle_count >= options.cycles) {
            break;
        }
        const SimProcess* next = calendar()->suc_in_sqs;
        if (next == nullptr || next->evtime > horizon) {
            if (!by_time) {
                end = RunEnd::HORIZON;
                message = "the cluster did not complete " + std::to_string(options.cycles) +
                          " cluster cycles within " + std::to_string(horizon) + " us of simulated time";
            }
            break;
        }
        if (!next_event()) {
            SimErrorRecord error{};
            get_error(&error);
            kernel_errors += 1;
            if (options.on_kernel_error) {
                options.on_kernel_error(error.code, sim_error_message(error.code));
            }
        }
        if (sim_time() == last_time) {
            if (++same_time_steps >= STUCK_STEPS) {
                end = RunEnd::TIME_STUCK;
                message = "simulated time stopped advancing at " + std::to_string(sim_time()) + " us (" +
                          std::to_string(STUCK_STEPS) + " events at the same time)";
                break;
            }
        } else {
            same_time_steps = 0;
            last_time = sim_time();
        }
        if (options.between_steps && !options.between_steps(*cluster)) {
            end = RunEnd::STOPPED;
            break;
        }
    }
    RunSummary summary = summarise(*cluster);
    summary.events += replay.standins; // each replayed periodic injection stands for the injector's event
    summary.end = end;
    summary.message = message;
    summary.kernel_errors = kernel_errors;
    summary.trace_fingerprint = trace_fingerprint();
    trace_fingerprint_stop();
    dispose_all();
    trace_off();
    summary.wall_time_s =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - wall_start).count();
    return summary;
}

std::string summary_json(const RunSummary& s) {
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
                        {"wall_time_s", s.wall_time_s},
                        {"laser", {{"hits", s.laser_hits}, {"misses", s.laser_misses}}},
                        {"completed", s.end == RunEnd::COMPLETED},
                        {"nodes", nodes}};
    if (!s.message.empty()) {
        j["message"] = s.message;
    }
    char fingerprint[20];
    std::snprintf(fingerprint, sizeof fingerprint, "%016llx",
                  static_cast<unsigned long long>(s.trace_fingerprint));
    if (s.trace_fingerprint != 0) {
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
