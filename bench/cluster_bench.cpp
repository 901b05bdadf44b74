// Whole-cluster speed: simulated cluster cycles per wall-clock second on the default configuration,
// unpaced, with the trace off and with the trace written to a file.
#include "cli/runner.h"

#include <benchmark/benchmark.h>

#include <cstdio>

namespace {

constexpr uint32_t CYCLES = 2000;
const char* const BENCH_TRACE_FILE = "/tmp/pelorin-cluster-bench-trace.txt";

void run_cycles(benchmark::State& state, bool with_trace) {
    RunOptions options;
    options.directory = PELORIN_DEFAULT_DATA_DIR;
    options.cycles = CYCLES;
    options.trace = with_trace;
    options.trace_file = BENCH_TRACE_FILE;
    uint64_t cycles = 0;
    uint64_t events = 0;
    for (auto _ : state) {
        std::remove(BENCH_TRACE_FILE);
        RunSummary summary = run_simulation(options);
        cycles += summary.cluster_cycles;
        events += summary.events;
    }
    std::remove(BENCH_TRACE_FILE);
    state.counters["cycles_per_second"] =
        benchmark::Counter(static_cast<double>(cycles), benchmark::Counter::kIsRate);
    state.counters["events_per_second"] =
        benchmark::Counter(static_cast<double>(events), benchmark::Counter::kIsRate);
}

void BM_ClusterTraceOff(benchmark::State& state) {
    run_cycles(state, false);
}
void BM_ClusterTraceOn(benchmark::State& state) {
    run_cycles(state, true);
}
BENCHMARK(BM_ClusterTraceOff)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ClusterTraceOn)->Unit(benchmark::kMillisecond);

} // namespace
