// Whole-cluster speed on the default configuration, unpaced: simulated cluster cycles per wall-clock second
// once the cluster runs in its application mode (the steady state a user watches), with the trace off and
// with the trace written to a file, with the observer's slot recorder watching (trace off), and with an
// idle fault scenario (faults whose triggers watch every protocol event but never fire), stepped by the
// shared run driver as every front end steps it; and a whole pelorin-sim run of 2000 cycles, start-up
// included.
#include "cli/runner.h"
#include "host/slot_events.h"
#include "kernel/trace.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <memory>

namespace {

constexpr uint32_t CYCLES_PER_ITERATION = 100;
constexpr uint32_t WARM_UP_CYCLES = 20;
constexpr uint32_t WHOLE_RUN_CYCLES = 2000;
const char* const BENCH_TRACE_FILE = "/tmp/pelorin-cluster-bench-trace.txt";

/// Runs until O2's host has counted `cycles` more cluster cycles.
void run_cycles(ClusterRun* run, uint32_t cycles) {
    RunLimit limit;
    limit.cycles = run->cluster.apps[NODE_O2].os->cycle_count + cycles;
    run_until(run, limit);
}

/// Faults that watch the cluster's events (a state, membership changes, own frames, slot starts) and never
/// fire within a benchmark: what a loaded scenario costs before its faults happen.
const char* const IDLE_SCENARIO[] = {
    "crash node=O1 on_state=O1:DOWNLOAD",
    "corrupt channel=A on_frame=O2:1000000000",
    "memory node=M1 on_membership=any delay_us=1e15",
    "lose channel=B cycle=4000000000 slot=3",
};

void steady_state(benchmark::State& state, bool with_trace, bool recording = false,
                  bool idle_faults = false) {
    std::remove(BENCH_TRACE_FILE);
    ClusterConfig config;
    if (read_cluster_config(PELORIN_DEFAULT_DATA_DIR, {}, &config) != ASSEMBLY_OK) {
        state.SkipWithError("the default configuration cannot be read");
        return;
    }
    RunSettings settings;
    settings.trace = with_trace;
    settings.trace_file = BENCH_TRACE_FILE;
    if (idle_faults) {
        for (const char* text : IDLE_SCENARIO) {
            FaultSpec fault;
            std::string why;
            if (!parse_fault(text, &fault, &why)) {
                state.SkipWithError(why.c_str());
                return;
            }
            settings.faults.push_back(fault);
        }
    }
    auto run = std::make_unique<ClusterRun>();
    start_run(run.get(), config, settings);
    auto recorder = std::make_unique<SlotRecorder>();
    if (recording) {
        attach_slot_recorder(recorder.get(), &run->cluster);
    }
    run_cycles(run.get(), WARM_UP_CYCLES);
    uint64_t events = step_count();
    for (auto _ : state) {
        run_cycles(run.get(), CYCLES_PER_ITERATION);
    }
    events = step_count() - events;
    state.counters["cycles_per_second"] = benchmark::Counter(
        static_cast<double>(state.iterations() * CYCLES_PER_ITERATION), benchmark::Counter::kIsRate);
    state.counters["events_per_second"] =
        benchmark::Counter(static_cast<double>(events), benchmark::Counter::kIsRate);
    state.counters["slots_recorded"] = static_cast<double>(recorder->columns.total);
    detach_slot_recorder(recorder.get());
    finish_run(run.get());
    std::remove(BENCH_TRACE_FILE);
}

void BM_ClusterTraceOff(benchmark::State& state) {
    steady_state(state, false);
}
void BM_ClusterTraceOn(benchmark::State& state) {
    steady_state(state, true);
}
void BM_ClusterRecordingOn(benchmark::State& state) {
    steady_state(state, false, true);
}
void BM_ClusterIdleScenario(benchmark::State& state) {
    steady_state(state, false, false, true);
}
BENCHMARK(BM_ClusterTraceOff)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_ClusterIdleScenario)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_ClusterRecordingOn)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_ClusterTraceOn)->Unit(benchmark::kMillisecond)->MinTime(2.0);

void BM_WholeRunTraceOff(benchmark::State& state) {
    RunOptions options;
    options.directory = PELORIN_DEFAULT_DATA_DIR;
    options.cycles = WHOLE_RUN_CYCLES;
    options.trace = false;
    for (auto _ : state) {
        benchmark::DoNotOptimize(run_simulation(options));
    }
    state.counters["cycles_per_second"] = benchmark::Counter(
        static_cast<double>(state.iterations() * WHOLE_RUN_CYCLES), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_WholeRunTraceOff)->Unit(benchmark::kMillisecond);

} // namespace
