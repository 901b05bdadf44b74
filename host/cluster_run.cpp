#include "host/cluster_run.h"

#include "host/fault_plan.h"
#include "kernel/trace.h"

#include <cmath>
#include <cstdio>
#include <utility>

namespace {

void forward_injection(void* context, const InjectionRecord& record) {
    auto* run = static_cast<ClusterRun*>(context);
    if (run->hooks.on_injection) {
        run->hooks.on_injection(*run, record);
    }
}

/// A replayed run's row of a described fault: it must be the log's next row. False (the run ends) when not.
bool check_replayed_row(ClusterRun* run, const InjectionRecord& row) {
    const std::vector<InjectionRecord>& rows = run->settings.replay;
    const size_t number = run->replay_next + 1;
    if (run->settings.replay_goes_on && run->replay_next >= rows.size()) {
        return true; // past the log the run is a run of its own
    }
    if (run->replay_next < rows.size()) {
        InjectionRecord expected = rows[run->replay_next];
        FaultSpec added;
        std::string why;
        if (expected.action == ROW_ADDED && parse_fault(expected.detail, &added, &why)) {
            expected.detail = format_fault(added); // the log may spell the fault otherwise
        }
        if (injection_log_row(expected) == injection_log_row(row)) {
            run->replay_next += 1;
            return true;
        }
    }
    stop_run(
        run, RunEnd::REPLAY_DIVERGED,
        "replay: the run's fault " + std::to_string(row.fault) + " did '" + injection_log_row(row) + "'" +
            (run->replay_next < rows.size() ? " where row " + std::to_string(number) + " of the log has '" +
                                                  injection_log_row(rows[run->replay_next]) + "'"
                                            : " after the last row of the log") +
            ": the log belongs to another configuration or run");
    return false;
}

void forward_plan_row(void* context, const InjectionRecord& row) {
    auto* run = static_cast<ClusterRun*>(context);
    if (!run->settings.replay.empty() && !check_replayed_row(run, row)) {
        return;
    }
    if (run->hooks.on_injection) {
        run->hooks.on_injection(*run, row);
    }
}

FaultPlan* run_plan(ClusterRun* run) {
    if (run->cluster.fault_plan == nullptr) {
        FaultPlan* plan = create_fault_plan(&run->cluster, run->settings.seed);
        plan->listener = forward_plan_row;
        plan->listener_context = run;
    }
    return run->cluster.fault_plan;
}

/// Whether a logged row is one of what a described fault did (the plan reports it when it does it again).
bool done_by_plan(const InjectionRecord& row) {
    return row.fault != 0 && row.action != ROW_ADDED;
}

/// Switches periodic injection on and off at the edges of the injection window [from, until). It opens at
/// the first step boundary at or after `from`, so the first waiting time is drawn inside it; it closes before
/// the first event at or after `until` runs, so an injector event planned before the end but due after it
/// never fires.
void update_injection_window(ClusterRun* run) {
    const RunSettings& s = run->settings;
    const bool opened = sim_time() >= s.inject_from_us;
    const bool closed = s.inject_until_us >= 0 && next_event_time() >= s.inject_until_us;
    const bool inside = opened && !closed;
    if (inside != run->injecting) {
        run->injecting = inside;
        set_fault_rate(run->cluster.fault_injector, inside ? s.inject_rate : 0.0);
    }
}

/// Applies every logged injection due at this step; false (the run ends) when the log and the run part ways.
bool apply_replay(ClusterRun* run) {
    const std::vector<InjectionRecord>& rows = run->settings.replay;
    Cluster& cluster = run->cluster;
    FaultInjector* fi = cluster.fault_injector;
    while (run->replay_next < rows.size() && !done_by_plan(rows[run->replay_next]) &&
           rows[run->replay_next].step == step_count() + run->replay_standins) {
        const size_t number = run->replay_next + 1;
        const InjectionRecord& r = rows[run->replay_next];
        if (r.fault != 0) {
            FaultSpec fault;
            std::string why;
            (void)parse_fault(r.detail, &fault, &why); // checked when the log was read
            (void)run_add_fault(run, fault);           // its added row is checked against this one
            if (run->ending) {
                return false;
            }
            continue;
        }
        set_run_fault_target(run, r.target);
        set_run_fault_node(run, static_cast<unsigned>(injection_node(r)));
        if (r.source == SOURCE_PERIODIC && !advance_time(r.time)) {
            stop_run(run, RunEnd::REPLAY_DIVERGED,
                     "replay: row " + std::to_string(number) + " at " + std::to_string(r.time) +
                         " us does not fall between the run's events at step " + std::to_string(r.step));
            return false;
        }
        const uint32_t present = fi->areas.empty() ? 0 : fi->areas[0][r.word < fi->word_count ? r.word : 0];
        if (present != r.before || !inject_bit(fi, r.word, r.bit, r.effect, r.source)) {
            char text[200];
            std::snprintf(
                text, sizeof text,
                "replay: row %zu (step %llu, word %u) finds 0x%08x where the log has 0x%08x: the log "
                "belongs to another configuration or run",
                number, static_cast<unsigned long long>(r.step), r.word, present, r.before);
            stop_run(run, RunEnd::REPLAY_DIVERGED, text);
            return false;
        }
        run->replay_standins += r.source == SOURCE_PERIODIC ? 1 : 0;
        run->replay_next += 1;
    }
    if (run->replay_next < rows.size() && rows[run->replay_next].step < step_count() + run->replay_standins) {
        stop_run(run, RunEnd::REPLAY_DIVERGED,
                 "replay: row " + std::to_string(run->replay_next + 1) + " names step " +
                     std::to_string(rows[run->replay_next].step) + ", which the run has passed");
        return false;
    }
    return true;
}

/// Step 1: what happens between two steps. False when the run is to end before the next step.
bool prepare_step(ClusterRun* run) {
    if (run->settings.stop_on_trace_failure && !trace_failure().empty()) {
        stop_run(run, RunEnd::OUTPUT_FAILED, trace_failure());
        return false;
    }
    RunHooks& hooks = run->hooks;
    if (hooks.on_sample && hooks.sample_period_us > 0.0) {
        const double next = next_event_time();
        while (run->next_sample_us <= hooks.sample_until_us && run->next_sample_us <= next) {
            hooks.on_sample(*run, run->next_sample_us);
            run->next_sample_us += hooks.sample_period_us;
        }
    }
    if (!run->settings.replay.empty()) {
        if (!apply_replay(run)) {
            return false;
        }
    } else if (run->settings.inject_rate > 0.0) {
        update_injection_window(run);
    }
    if (hooks.before_step) {
        hooks.before_step(*run);
    }
    return !run->ending;
}

/// Steps 2 to 4: the scheduler step, the stall check and the after-step hook.
StepResult take_step(ClusterRun* run) {
    StepResult result = StepResult::STEPPED;
    if (!step_or_take_error(&run->last_error)) {
        run->kernel_errors += 1;
        result = StepResult::KERNEL_ERROR;
        if (run->hooks.on_kernel_error) {
            run->hooks.on_kernel_error(run->last_error, sim_error_message(run->last_error));
        }
    }
    hold_stuck_bits_if_any(run->cluster.fault_plan);
    const double now = sim_time();
    if (now != run->last_time) {
        run->same_time_steps = 0;
        run->last_time = now;
    } else if (++run->same_time_steps == STUCK_STEPS) {
        stop_run(run, RunEnd::TIME_STUCK,
                 "simulated time stopped advancing at " + std::to_string(now) + " us (" +
                     std::to_string(STUCK_STEPS) + " events at the same time)");
    }
    if (!run->ending && run->hooks.after_step && !run->hooks.after_step(*run)) {
        stop_run(run, RunEnd::STOPPED, "");
    }
    return result;
}

} // namespace

double cycle_horizon_us(uint32_t cycles) {
    return HORIZON_ALLOWANCE_US + HORIZON_PER_CYCLE_US * static_cast<double>(cycles);
}

void start_run(ClusterRun* run, const ClusterConfig& config, RunSettings settings, RunHooks hooks) {
    run->settings = std::move(settings);
    run->hooks = std::move(hooks);
    const RunSettings& s = run->settings;
    if (s.trace) {
        trace_to_file(s.trace_file.c_str());
    } else {
        trace_off();
    }
    if (s.fingerprint) {
        trace_fingerprint_start();
    }
    inic_kernel();
    if (s.start_us > 0.0) {
        (void)advance_time(s.start_us); // an empty calendar: always taken
    }
    run->cluster = Cluster{};
    assemble_cluster(&run->cluster, config);
    FaultInjector* fi = run->cluster.fault_injector;
    seed_random(fi->rng, s.seed);
    set_fault_effect(fi, s.effect);
    set_run_fault_target(run, s.target);
    set_run_fault_node(run, s.fault_node);
    fi->listener = forward_injection;
    fi->listener_context = run;
    run->running = true;
    run->ending = false;
    run->end = RunEnd::COMPLETED;
    run->message.clear();
    run->kernel_errors = 0;
    run->last_error = 0;
    run->same_time_steps = 0;
    run->last_time = sim_time();
    run->injecting = false;
    run->next_sample_us = run->hooks.sample_period_us;
    run->replay_next = 0;
    run->replay_standins = 0;
    if (run->hooks.on_built) {
        run->hooks.on_built(*run);
    }
    for (const FaultSpec& fault : run->settings.faults) {
        (void)run_add_fault(run, fault);
    }
}

RunEnd run_until(ClusterRun* run, const RunLimit& limit) {
    run->ending = false;
    run->end = RunEnd::COMPLETED;
    const uint32_t* cycles = &run->cluster.apps[NODE_O2].os->cycle_count;
    for (;;) {
        if (!prepare_step(run)) {
            break;
        }
        if ((limit.cycles > 0 && *cycles >= limit.cycles) || step_count() >= limit.steps) {
            break;
        }
        if (next_event_time() > limit.until_us) {
            if (limit.cycles > 0) {
                char text[160];
                std::snprintf(text, sizeof text,
                              "the cluster did not complete %u cluster cycles within %f us of simulated time",
                              limit.cycles, limit.until_us);
                stop_run(run, RunEnd::HORIZON, text);
            }
            break;
        }
        take_step(run);
        if (run->ending) {
            break;
        }
    }
    return run->end;
}

StepResult run_step(ClusterRun* run) {
    run->ending = false;
    if (!prepare_step(run)) {
        return StepResult::ENDED;
    }
    return take_step(run);
}

bool finish_replay(ClusterRun* run) {
    const std::vector<InjectionRecord>& rows = run->settings.replay;
    if (run->replay_next >= rows.size()) {
        return true;
    }
    const InjectionRecord& r = rows[run->replay_next];
    char text[240];
    std::snprintf(
        text, sizeof text,
        "replay: row %zu of %zu (step %llu, %.4f us) was never applied: the run ended at step %llu, "
        "%.4f us",
        run->replay_next + 1, rows.size(), static_cast<unsigned long long>(r.step), r.time,
        static_cast<unsigned long long>(step_count() + run->replay_standins), sim_time());
    stop_run(run, RunEnd::REPLAY_DIVERGED, text);
    return false;
}

bool run_replay_pending(const ClusterRun& run) {
    return run.replay_next < run.settings.replay.size();
}

void run_drop_pending_replay(ClusterRun* run) {
    run->settings.replay.resize(run->replay_next);
    run->settings.replay_goes_on = true;
}

void stop_run(ClusterRun* run, RunEnd end, std::string message) {
    run->ending = true;
    run->end = end;
    run->message = std::move(message);
}

void finish_run(ClusterRun* run) {
    if (!run->running) {
        return;
    }
    run->running = false;
    trace_fingerprint_stop();
    dispose_all();
    trace_off();
}

void run_state(const ClusterRun& run, StateSink* sink) {
    model_state(sink);
    cluster_state(run.cluster, sink);
}

StateDigest run_state_digest(const ClusterRun& run) {
    StateHash hash;
    state_hash_start(&hash);
    run_state(run, &hash);
    return state_hash_finish(&hash);
}

uint32_t run_add_fault(ClusterRun* run, const FaultSpec& fault) {
    return add_fault(run_plan(run), fault);
}

void set_run_fault_rate(ClusterRun* run, double rate) {
    run->settings.inject_rate = rate;
    run->settings.inject_from_us = sim_time();
    run->settings.inject_until_us = -1.0;
    run->injecting = rate > 0.0;
    set_fault_rate(run->cluster.fault_injector, rate);
}

void set_run_fault_effect(ClusterRun* run, uint8_t effect) {
    run->settings.effect = effect;
    set_fault_effect(run->cluster.fault_injector, effect);
}

void set_run_fault_node(ClusterRun* run, unsigned node) {
    run->settings.fault_node = node;
    if (node != run->cluster.fault_node) {
        set_fault_node(&run->cluster, node);
    }
}

void set_run_fault_target(ClusterRun* run, uint32_t target) {
    run->settings.target = target;
    if (target != run->cluster.fault_target) {
        set_fault_target(&run->cluster, target);
    }
}
