// Kernel speed: the classic hold model (N processes, each holding an exponentially distributed time in an
// endless loop) in events per second, and the cost of one trace line against one bare write system call
// of the same bytes.
#include "kernel/random_stream.h"
#include "kernel/sim_process.h"
#include "kernel/trace.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <fcntl.h>
#include <string>
#include <unistd.h>

namespace {

struct Holder : SimProcess {
    RandomStream* stream;
};

enum : uint32_t { HOLDER_START = SIM_START, HOLDER_AGAIN };

void holder_body(SimProcess* process) {
    auto* h = static_cast<Holder*>(process);
    hold(random_exponential(h->stream, 1.0), HOLDER_AGAIN);
}

void BM_HoldModel(benchmark::State& state) {
    trace_off();
    inic_kernel();
    RandomStream* stream = inic_random(111);
    const auto n = static_cast<int>(state.range(0));
    for (int i = 0; i < n; ++i) {
        auto* h = sim_new<Holder>();
        inic_process(h, holder_body);
        h->stream = stream;
        reactivate_delay(h, random_exponential(stream, 1.0));
    }
    for (int i = 0; i < 10 * n; ++i) { // reach the steady state of the event times
        next_event();
    }
    for (auto _ : state) {
        benchmark::DoNotOptimize(next_event());
    }
    state.SetItemsProcessed(state.iterations());
    state.counters["events_per_second"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
    dispose_all();
}
BENCHMARK(BM_HoldModel)->Arg(10)->Arg(100)->Arg(1000);

const char* const BENCH_TRACE_FILE = "/tmp/pelorin-bench-trace.txt";

struct Named : SimProcess {};
void named_body(SimProcess*) {}

void BM_TraceLine(benchmark::State& state) {
    std::remove(BENCH_TRACE_FILE);
    inic_kernel();
    auto* object = sim_new<Named>();
    inic_process(object, named_body);
    object->name = "Controller M1";
    trace_to_file(BENCH_TRACE_FILE);
    int receiver = 1;
    for (auto _ : state) {
        trace(object, "Registering %d. receiver: %s\n", receiver, "Controller O2");
    }
    trace_off();
    dispose_all();
    std::remove(BENCH_TRACE_FILE);
}
BENCHMARK(BM_TraceLine);

void BM_BareWrite(benchmark::State& state) {
    std::remove(BENCH_TRACE_FILE);
    const std::string line = "    0.0000: Controller M1: Registering 1. receiver: Controller O2\n";
    int fd = open(BENCH_TRACE_FILE, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    for (auto _ : state) {
        benchmark::DoNotOptimize(write(fd, line.data(), line.size()));
    }
    close(fd);
    std::remove(BENCH_TRACE_FILE);
}
BENCHMARK(BM_BareWrite);

} // namespace
