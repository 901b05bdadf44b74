// One run, two drivers: the window's threads (at any speed, stopped, traced and resumed) and the headless
// runner execute the same kernel events and write the same trace.
#include "cli/runner.h"
#include "kernel/trace.h"
#include "ui/sine_wave_thread.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <thread>

namespace {

struct WindowRun {
    uint64_t events;
    uint64_t fingerprint;
};

uint64_t steps_of(TSineWaveThread& thread) {
    return thread.WithModelLocked([] { return step_count(); });
}

/// Drives the window's thread with Run, Stop and Trace until at least `events` kernel steps have run.
WindowRun drive_window(uint64_t events, int pattern) {
    trace_fingerprint_start();
    SineThreadOptions options;
    options.directory = PELORIN_DEFAULT_DATA_DIR;
    options.trace_file = "";
    options.injection_log = "";
    auto thread = TOrvikThread::Create<TSineWaveThread>(options);
    EXPECT_FALSE(thread->BuildFailed()) << thread->BuildError();
    thread->SetSleepPerCycle(pattern == 0 ? 0.0 : 0.02);
    int round = 0;
    while (steps_of(*thread) < events) {
        switch ((round++ + pattern) % 3) {
        case 0:
            thread->Run();
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
            thread->Stop();
            break;
        case 1:
            for (int i = 0; i < 50; ++i) {
                thread->TraceStep(true);
            }
            break;
        default:
            thread->SetPaused(false);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            thread->SetPaused(true);
            while (!thread->WaitStopped(std::chrono::milliseconds(100))) {
            }
            break;
        }
    }
    WindowRun result{steps_of(*thread), trace_fingerprint()};
    thread.reset();
    trace_fingerprint_stop();
    return result;
}

TEST(Determinism, WindowThreadsAndHeadlessRunnerWriteTheSameTrace) {
    for (int pattern : {0, 1}) {
        WindowRun window = drive_window(20000, pattern);
        RunOptions options;
        options.directory = PELORIN_DEFAULT_DATA_DIR;
        options.trace = false;
        options.fingerprint = true;
        options.cycles = 1000000;
        options.hooks.after_step = [&](ClusterRun&) { return step_count() < window.events; };
        RunSummary headless = run_simulation(options);
        EXPECT_EQ(headless.events, window.events) << "pattern " << pattern;
        EXPECT_EQ(headless.trace_fingerprint, window.fingerprint) << "pattern " << pattern;
        char shown[64]; // what pelorin-sim --json prints for the same run
        std::snprintf(shown, sizeof shown, "\"trace_fingerprint\": \"%016llx\"",
                      static_cast<unsigned long long>(window.fingerprint));
        EXPECT_NE(summary_json(headless).find(shown), std::string::npos) << summary_json(headless);
    }
}

} // namespace
