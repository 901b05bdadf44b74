// The window's "Fast" mode against the headless run driver, on the default configuration with no trace and
// no injection log: simulated seconds per wall-clock second once the cluster runs in its application mode.
// Prints, each measured over MEASURE_PHASE of wall time:
//
//     headless             run_until in steps of SLICE_US, as pelorin-sim runs (no slot recorder)
//     headless + recorder  the same with the observer's slot recorder watching, as the window always has it
//     headless, niced      the same on a thread niced as the window's simulation thread niceness itself
//                          (WINDOW_NICE_INCREMENT): on a machine that other work keeps busy, the share of
//                          the processor the window's thread gets
//     window, full speed   the simulation thread paced with the slider at its end (no sleep, one pacing
//                          cycle per advance of simulated time, the snapshot after every step)
//     window, fast         the simulation thread unpaced (the observer's "Fast")
//
// and the fast mode's rate as a fraction of the headless one; then the time "Back" takes to the slot of a
// flip of a bit of O1's memory, over a span of simulated time (BACK_SPAN_S, or the first argument, in
// seconds), twice: a flip early in the run and the run going on for the span after it, and a flip at the
// span's end and the run going on a little. Each is timed as the window's Back does it (TMainForm::
// BackToSlot: from the model's own back points, from the call to the stop) and as a new thread replaying the
// run from time 0 (from its creation to its stop).
// Nothing is judged: the figures are for the README and for comparing changes.
#include "host/cluster_run.h"
#include "host/slot_events.h"
#include "ui/sine_wave_thread.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <thread>

#include <sys/resource.h>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr auto MEASURE_PHASE = 3s;
constexpr double SETTLED_US = 400000.0; // the cluster runs in its application mode by then
constexpr double SLICE_US = 10000.0;    // the headless run looks at the clock this often (simulated)
constexpr auto POLL = 1ms;
constexpr double US_PER_S = 1e6;
constexpr int WINDOW_NICE_INCREMENT = 4; // as ui/sine_wave_thread.cpp lowers its simulation thread
constexpr double BACK_SPAN_S = 600.0;    // ten simulated minutes, unless the command line gives another span
constexpr double AFTER_FLIP_US = 100000.0;
constexpr double EARLY_FLIP_US = 10e6; // a flip early in the run, which Back goes back to from far later
constexpr auto STOP_LIMIT = std::chrono::minutes(30);

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

/// Simulated seconds per wall second of the run driver, from SETTLED_US on.
double headless_rate(const ClusterConfig& config, bool recording) {
    auto run = std::make_unique<ClusterRun>();
    auto recorder = std::make_unique<SlotRecorder>();
    RunSettings settings;
    settings.trace = false;
    RunHooks hooks;
    if (recording) {
        hooks.on_injection = [&](ClusterRun&, const InjectionRecord& r) {
            slot_recorder_injection(recorder.get(), r);
        };
    }
    start_run(run.get(), config, settings, std::move(hooks));
    if (recording) {
        attach_slot_recorder(recorder.get(), &run->cluster);
    }
    RunLimit limit;
    limit.until_us = SETTLED_US;
    run_until(run.get(), limit);
    const Clock::time_point start = Clock::now();
    const double from = sim_time();
    while (Clock::now() - start < MEASURE_PHASE) {
        limit.until_us += SLICE_US;
        run_until(run.get(), limit);
    }
    const double rate = (sim_time() - from) / US_PER_S / seconds_since(start);
    if (recording) {
        detach_slot_recorder(recorder.get());
    }
    finish_run(run.get());
    return rate;
}

SineThreadOptions quiet_options();

/// headless_rate(config, true) on a thread niced as the window's simulation thread.
double niced_headless_rate(const ClusterConfig& config) {
    double rate = 0.0;
    std::thread worker([&] {
        const auto tid = static_cast<id_t>(gettid());
        (void)setpriority(PRIO_PROCESS, tid, getpriority(PRIO_PROCESS, tid) + WINDOW_NICE_INCREMENT);
        rate = headless_rate(config, true);
    });
    worker.join();
    return rate;
}

/// Simulated seconds per wall second of the window's simulation thread, from SETTLED_US on.
double window_rate(bool unpaced) {
    auto thread = TOrvikThread::Create<TSineWaveThread>(quiet_options());
    if (thread->BuildFailed()) {
        std::fprintf(stderr, "fast_mode: %s\n", thread->BuildError().c_str());
        return 0.0;
    }
    thread->SetSleepPerCycle(0.0);
    thread->SetUnpaced(unpaced);
    thread->Run();
    while (thread->GetSimTime() < SETTLED_US) {
        std::this_thread::sleep_for(POLL);
    }
    const Clock::time_point start = Clock::now();
    const double from = thread->GetSimTime();
    std::this_thread::sleep_for(MEASURE_PHASE);
    const double rate = (thread->GetSimTime() - from) / US_PER_S / seconds_since(start);
    thread->Stop();
    return rate;
}

SineThreadOptions quiet_options() {
    SineThreadOptions options;
    options.directory = PELORIN_DEFAULT_DATA_DIR;
    options.trace_file = "";
    options.injection_log = "";
    return options;
}

/// Runs the unpaced thread until its simulated time reaches `until_us`, then stops it.
void run_until_us(TSineWaveThread& thread, double until_us) {
    thread.Run();
    while (thread.GetSimTime() < until_us) {
        std::this_thread::sleep_for(POLL);
    }
    thread.Stop();
}

/// Waits until the thread has stopped of itself; the seconds since `start`, negative when it did not.
double seconds_to_stop(TSineWaveThread& thread, Clock::time_point start) {
    while (!(thread.GetPaused() && thread.IsParked())) {
        if (Clock::now() - start > STOP_LIMIT) {
            return -1.0;
        }
        std::this_thread::sleep_for(POLL); // asleep, as the window's thread is while Back runs
    }
    return seconds_since(start);
}

struct BackTimes {
    double in_place = -1.0;  // from the model's own back points (GoBackInPlace)
    double from_zero = -1.0; // a new model replaying from time 0
};

/// Wall-clock seconds the window's Back takes to the slot of a flip made at `flip_us`, from a run that went
/// on to `end_us`: first as the window does it (from a back point), then replayed from time 0.
BackTimes back_seconds(double flip_us, double end_us) {
    BackTimes times;
    SlotEventsCopy events;
    std::vector<InjectionRecord> rows;
    uint64_t slot = 0;
    auto thread = TOrvikThread::Create<TSineWaveThread>(quiet_options());
    thread->SetUnpaced(true);
    const Clock::time_point first = Clock::now();
    run_until_us(*thread, flip_us);
    thread->ReadSlotEvents(&events);
    slot = events.columns.total + 1; // the flip happens in the slot that is open now
    thread->InjectNow();
    run_until_us(*thread, end_us);
    std::printf("  (the run to %.1f s, fast: %.2f s of wall-clock time; %zu back points)\n",
                end_us / US_PER_S, seconds_since(first), thread->BackPointSlots().size());
    rows = thread->RunRows();
    const Clock::time_point start = Clock::now();
    if (thread->GoBackInPlace(slot)) {
        thread->Run();
        times.in_place = seconds_to_stop(*thread, start);
        std::printf("  (in place: back to %.6f s of simulated time, slot %llu)\n",
                    thread->GetSimTime() / US_PER_S, static_cast<unsigned long long>(slot));
    }
    thread.reset();
    SineThreadOptions back = quiet_options();
    back.replay = rows;
    back.replay_is_own = true;
    back.stop_after_slots = slot - 1;
    const Clock::time_point again = Clock::now();
    thread = TOrvikThread::Create<TSineWaveThread>(back);
    thread->Run();
    times.from_zero = seconds_to_stop(*thread, again);
    std::printf("  (from time 0: back to %.6f s of simulated time; %zu rows replayed)\n",
                thread->GetSimTime() / US_PER_S, rows.size());
    return times;
}

/// What the window's Back takes: from a back point where one serves, else the replay from time 0.
double window_back(const BackTimes& times) {
    return times.in_place >= 0.0 ? times.in_place : times.from_zero;
}

void print_back(const BackTimes& times) {
    std::printf("  window's Back %.2f s of wall-clock time (%s); from time 0 %.2f s\n", window_back(times),
                times.in_place >= 0.0 ? "from a back point" : "no back point before it: from time 0",
                times.from_zero);
}

} // namespace

int main(int argc, char** argv) {
    const double span_s = argc > 1 ? std::atof(argv[1]) : BACK_SPAN_S;
    if (!(span_s > 0.0)) {
        std::fprintf(stderr, "fast_mode: the span to go back over is a number of simulated seconds\n");
        return 2;
    }
    ClusterConfig config;
    std::string why;
    if (read_cluster_config(PELORIN_DEFAULT_DATA_DIR, {}, &config, &why) != ASSEMBLY_OK) {
        std::fprintf(stderr, "fast_mode: %s\n", why.c_str());
        return 1;
    }
    const double headless = headless_rate(config, false);
    const double recorded = headless_rate(config, true);
    const double niced = niced_headless_rate(config);
    const double paced = window_rate(false);
    const double fast = window_rate(true);
    std::printf("simulated seconds per wall-clock second\n");
    std::printf("  headless             %8.3f\n", headless);
    std::printf("  headless + recorder  %8.3f\n", recorded);
    std::printf("  headless, niced      %8.3f\n", niced);
    std::printf("  window, full speed   %8.3f\n", paced);
    std::printf("  window, fast         %8.3f  (%.0f%% of headless, %.0f%% of headless niced)\n", fast,
                100.0 * fast / headless, 100.0 * fast / niced);
    std::printf("back to a flip made %.0f s of simulated time ago\n", span_s);
    const BackTimes early = back_seconds(EARLY_FLIP_US, EARLY_FLIP_US + span_s * US_PER_S);
    print_back(early);
    std::printf("back to a flip at %.0f s of simulated time, just made\n", span_s);
    const BackTimes late = back_seconds(span_s * US_PER_S, span_s * US_PER_S + AFTER_FLIP_US);
    print_back(late);
    const double back = std::min(window_back(early), window_back(late));
    return back < 0.0 ? 1 : 0;
}
