// The run driver: what happens between two steps and in which order, where a run stops, and that a run
// stopped at a time goes on exactly as if it had not stopped.
#include "host/cluster_run.h"
#include "kernel/trace.h"

#include <gtest/gtest.h>

#include <bit>
#include <memory>
#include <vector>

namespace {

class RunDriverTest : public ::testing::Test {
  protected:
    ClusterConfig config;
    std::unique_ptr<ClusterRun> run = std::make_unique<ClusterRun>();

    void SetUp() override {
        std::string why;
        ASSERT_EQ(read_cluster_config(PELORIN_DEFAULT_DATA_DIR, {}, &config, &why), ASSEMBLY_OK) << why;
    }
    void TearDown() override {
        finish_run(run.get());
        EXPECT_EQ(memory_count(), 0u);
    }
    void start(RunSettings settings = quiet(), RunHooks hooks = {}) {
        start_run(run.get(), config, std::move(settings), std::move(hooks));
    }
    static RunSettings quiet() {
        RunSettings settings;
        settings.trace = false;
        settings.fingerprint = true;
        return settings;
    }
    static RunLimit until(double t) { return RunLimit{0, t}; }
};

/// A process that holds 0 forever: simulated time stops advancing.
void spinner_body(SimProcess*) {
    hold(0.0, SIM_START + 1);
}

/// A process whose first resumption fails: a negative hold is kernel error 41, and leaves it unplanned.
void failing_body(SimProcess*) {
    hold(-1.0, SIM_START + 1);
}

TEST_F(RunDriverTest, ARunStoppedAtTimesGoesOnExactlyAsOneRun) {
    start();
    EXPECT_EQ(run_until(run.get(), until(300000)), RunEnd::COMPLETED);
    const uint64_t fingerprint = trace_fingerprint();
    const uint64_t steps = step_count();
    const uint32_t hits = run->cluster.laser->hits;
    finish_run(run.get());

    start(); // the same configuration record, assembled again
    for (double t : {1.0, 99999.5, 100000.0, 250000.0, 300000.0}) {
        EXPECT_EQ(run_until(run.get(), until(t)), RunEnd::COMPLETED);
        EXPECT_LE(sim_time(), t);
        EXPECT_GT(calendar()->suc_in_sqs->evtime, t) << "every event up to the limit has run";
    }
    EXPECT_EQ(trace_fingerprint(), fingerprint);
    EXPECT_EQ(step_count(), steps);
    EXPECT_EQ(run->cluster.laser->hits, hits);
    EXPECT_GT(hits, 0u);
}

TEST_F(RunDriverTest, AReplayThatGoesOnTakesWhatComesAfterItsLogAndALeftLogForgetsItsRest) {
    FaultSpec crash;
    std::string why;
    ASSERT_TRUE(parse_fault("crash node=O1 at_us=200000 duration_us=1000", &crash, &why)) << why;
    RunSettings settings = quiet();
    settings.faults = {crash};
    std::vector<InjectionRecord> rows;
    RunHooks hooks;
    hooks.on_injection = [&rows](ClusterRun&, const InjectionRecord& r) { rows.push_back(r); };
    start(settings, hooks);
    ASSERT_EQ(run_until(run.get(), until(300000)), RunEnd::COMPLETED);
    const uint64_t fingerprint = trace_fingerprint();
    finish_run(run.get());
    ASSERT_GE(rows.size(), 3u) << "added, start, end";

    // The log cut after the fault was added: strict, what the fault then does is a divergence.
    RunSettings replay = quiet();
    replay.replay = {rows[0]};
    start(replay);
    EXPECT_EQ(run_until(run.get(), until(300000)), RunEnd::REPLAY_DIVERGED);
    finish_run(run.get());
    // Going on, it is the same run.
    replay.replay_goes_on = true;
    start(replay);
    EXPECT_EQ(run_until(run.get(), until(300000)), RunEnd::COMPLETED);
    EXPECT_EQ(trace_fingerprint(), fingerprint);
    finish_run(run.get());

    // The whole log, left before the crash: its rest is forgotten and another fault is no divergence.
    replay.replay = rows;
    replay.replay_goes_on = false;
    start(replay);
    ASSERT_EQ(run_until(run.get(), until(100000)), RunEnd::COMPLETED);
    ASSERT_TRUE(run_replay_pending(*run));
    run_drop_pending_replay(run.get());
    EXPECT_FALSE(run_replay_pending(*run));
    FaultSpec lose;
    ASSERT_TRUE(parse_fault("lose channel=A at_us=150000", &lose, &why)) << why;
    (void)run_add_fault(run.get(), lose);
    EXPECT_EQ(run_until(run.get(), until(300000)), RunEnd::COMPLETED);
    EXPECT_NE(trace_fingerprint(), fingerprint) << "another run from the branch on";
}

TEST_F(RunDriverTest, AnInjectorAimedAtAnotherNodeChangesThatNodesBitsAndItsRowReplaysThere) {
    uint32_t word = 0;
    while (cni_fault_mask()[word] == 0) {
        word += 1;
    }
    const auto bit = static_cast<uint32_t>(std::countr_zero(cni_fault_mask()[word]));
    RunSettings settings = quiet();
    settings.fault_node = NODE_M2;
    std::vector<InjectionRecord> rows;
    RunHooks hooks;
    hooks.on_injection = [&rows](ClusterRun&, const InjectionRecord& r) { rows.push_back(r); };
    start(settings, hooks);
    ASSERT_EQ(run_until(run.get(), until(150000)), RunEnd::COMPLETED);
    auto memory = [this](unsigned node, uint32_t w) {
        return cni_words(run->cluster.controllers[node]->cni)[w];
    };
    const uint32_t m2 = memory(NODE_M2, word);
    const uint32_t o1 = memory(NODE_O1, word);
    ASSERT_TRUE(inject_bit(run->cluster.fault_injector, word, bit, FAULT_FLIP, SOURCE_NOW));
    EXPECT_EQ(memory(NODE_M2, word), m2 ^ (1u << bit));
    EXPECT_EQ(memory(NODE_O1, word), o1);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(injection_node(rows[0]), static_cast<int>(NODE_M2));
    EXPECT_EQ(rows[0].before, m2);
    // The log names M2 and reads back as M2's row.
    InjectionRecord read{};
    std::string problem;
    ASSERT_TRUE(parse_injection_log_row(injection_log_row(rows[0]), &read, &problem)) << problem;
    EXPECT_EQ(injection_node(read), static_cast<int>(NODE_M2));
    ASSERT_EQ(run_until(run.get(), until(300000)), RunEnd::COMPLETED);
    const uint64_t fingerprint = trace_fingerprint();
    finish_run(run.get());

    // A replay in a run aimed at O1 flips M2's bit, and is the same run.
    RunSettings replay = quiet();
    replay.replay = {read};
    start(replay);
    EXPECT_EQ(run_until(run.get(), until(300000)), RunEnd::COMPLETED);
    EXPECT_EQ(trace_fingerprint(), fingerprint);
}

TEST_F(RunDriverTest, ACycleGoalEndsTheRunOrReportsTheHorizon) {
    start();
    RunLimit limit;
    limit.cycles = 5;
    limit.until_us = cycle_horizon_us(5);
    EXPECT_EQ(run_until(run.get(), limit), RunEnd::COMPLETED);
    EXPECT_EQ(run->cluster.apps[NODE_O2].os->cycle_count, 5u);
    limit.cycles = 1000;
    limit.until_us = 20000.0;
    EXPECT_EQ(run_until(run.get(), limit), RunEnd::HORIZON);
    EXPECT_NE(run->message.find("did not complete 1000 cluster cycles"), std::string::npos) << run->message;
    EXPECT_LE(sim_time(), 20000.0);
}

TEST_F(RunDriverTest, SamplesShowTheModelAtTheirTimeAndComeBeforeInjectionsAndHooks) {
    std::vector<double> samples;
    std::vector<std::string> order;
    RunHooks hooks;
    hooks.sample_period_us = 250.0;
    hooks.sample_until_us = 5000.0;
    hooks.on_sample = [&](ClusterRun&, double t) {
        EXPECT_LE(sim_time(), t);
        EXPECT_GE(calendar()->suc_in_sqs->evtime, t) << "no event after the sample time has run";
        samples.push_back(t);
        order.push_back("sample");
    };
    hooks.before_step = [&](ClusterRun&) {
        if (!order.empty() && order.back() == "sample") {
            order.push_back("before");
        }
    };
    start(quiet(), std::move(hooks));
    run_until(run.get(), until(10000.0));
    ASSERT_EQ(samples.size(), 20u);
    EXPECT_EQ(samples.front(), 250.0);
    EXPECT_EQ(samples.back(), 5000.0);
    ASSERT_GE(order.size(), 2u);
    EXPECT_EQ(order[1], "before");
}

TEST_F(RunDriverTest, PeriodicInjectionsHappenInsideTheirWindowOnly) {
    // The injector's own event, planned inside the window but due after its end, must not fire. At start-up
    // the cluster's events are far apart, so that event is often the first one beyond the end.
    for (uint32_t seed = 1; seed <= 8; ++seed) {
        RunSettings settings = quiet();
        settings.seed = seed;
        settings.inject_rate = 1.0e5;
        settings.inject_from_us = 0.0;
        settings.inject_until_us = 50.0;
        std::vector<double> times;
        RunHooks hooks;
        hooks.on_injection = [&](ClusterRun&, const InjectionRecord& r) { times.push_back(r.time); };
        start(settings, std::move(hooks));
        run_until(run.get(), until(20000.0));
        EXPECT_FALSE(times.empty()) << "seed " << seed;
        for (double t : times) {
            EXPECT_TRUE(t >= settings.inject_from_us && t < settings.inject_until_us)
                << t << ", seed " << seed;
        }
        finish_run(run.get());
    }
    // A window that ends exactly when an injection falls due: that injection is not inside it.
    RunSettings settings = quiet();
    settings.seed = 3;
    settings.inject_rate = 1.0e5;
    settings.inject_from_us = 0.0;
    std::vector<double> times;
    const auto record_times = [&times] {
        RunHooks hooks;
        hooks.on_injection = [&times](ClusterRun&, const InjectionRecord& r) { times.push_back(r.time); };
        return hooks;
    };
    start(settings, record_times());
    run_until(run.get(), until(2000.0));
    finish_run(run.get());
    ASSERT_GE(times.size(), 3u);
    settings.inject_until_us = times[2];
    times.clear();
    start(settings, record_times());
    run_until(run.get(), until(2000.0));
    finish_run(run.get());
    EXPECT_EQ(times.size(), 2u);
}

TEST_F(RunDriverTest, SeedZeroStillInjectsAndTheRunEnds) {
    // Seed 0 leaves the injector's generator drawing zeros only; the waiting times must stay finite.
    RunSettings settings = quiet();
    settings.seed = 0;
    settings.inject_rate = 1000.0;
    start(settings);
    EXPECT_EQ(run_until(run.get(), until(50000.0)), RunEnd::COMPLETED);
    EXPECT_GT(run->cluster.fault_injector->injections, 0u);
}

TEST_F(RunDriverTest, ATraceThatCannotBeWrittenEndsTheRunOnlyWhenAsked) {
    RunSettings settings = quiet();
    settings.trace = true;
    settings.trace_file = "/dev/full";
    settings.stop_on_trace_failure = true;
    start(settings);
    EXPECT_EQ(run_until(run.get(), until(10000.0)), RunEnd::OUTPUT_FAILED);
    EXPECT_EQ(step_count(), 0u) << "the assembly's first line failed: no step runs";
    EXPECT_EQ(run->message, "/dev/full: the trace cannot be written (No space left on device)");
    finish_run(run.get());

    settings.stop_on_trace_failure = false; // the window: lines are dropped and the run goes on
    start(settings);
    EXPECT_EQ(run_until(run.get(), until(10000.0)), RunEnd::COMPLETED);
    EXPECT_GT(step_count(), 0u);
}

TEST_F(RunDriverTest, HooksEndTheRunBeforeTheNextStep) {
    RunHooks hooks;
    hooks.after_step = [](ClusterRun&) { return step_count() < 100; };
    start(quiet(), std::move(hooks));
    EXPECT_EQ(run_until(run.get(), until(1e6)), RunEnd::STOPPED);
    EXPECT_EQ(step_count(), 100u);

    run->hooks.after_step = nullptr;
    run->hooks.before_step = [](ClusterRun& r) {
        if (step_count() == 150) {
            stop_run(&r, RunEnd::OUTPUT_FAILED, "out of paper");
        }
    };
    EXPECT_EQ(run_until(run.get(), until(1e6)), RunEnd::OUTPUT_FAILED);
    EXPECT_EQ(step_count(), 150u);
    EXPECT_EQ(run->message, "out of paper");
    EXPECT_EQ(run_step(run.get()), StepResult::ENDED);
    EXPECT_EQ(step_count(), 150u);
}

TEST_F(RunDriverTest, TimeThatStopsAdvancingEndsAnUnpacedRunButNotSteppingByHand) {
    start();
    run_until(run.get(), until(5000.0));
    auto* spinner = sim_new<SimProcess>();
    inic_process(spinner, spinner_body);
    reactivate_at(spinner, sim_time());
    const uint64_t before = step_count();
    EXPECT_EQ(run_until(run.get(), until(1e6)), RunEnd::TIME_STUCK);
    EXPECT_EQ(step_count() - before, STUCK_STEPS);
    EXPECT_NE(run->message.find("simulated time stopped advancing"), std::string::npos) << run->message;
    // The window steps on (its user sees the clock stand still); the stall is not reported again.
    run->message.clear();
    for (int i = 0; i < 10; ++i) {
        EXPECT_EQ(run_step(run.get()), StepResult::STEPPED);
    }
    EXPECT_EQ(step_count() - before, STUCK_STEPS + 10);
    EXPECT_TRUE(run->message.empty());
}

TEST_F(RunDriverTest, KernelErrorsAreCountedAndReportedAndTheRunGoesOn) {
    std::vector<int> codes;
    RunHooks hooks;
    hooks.on_kernel_error = [&](uint8_t code, const char* message) {
        codes.push_back(code);
        EXPECT_STRNE(message, "");
    };
    start(quiet(), std::move(hooks));
    auto* failing = sim_new<SimProcess>();
    inic_process(failing, failing_body);
    reactivate_at(failing, 1000.0);
    StepResult result = StepResult::STEPPED;
    for (int i = 0; i < 100000 && result == StepResult::STEPPED; ++i) {
        result = run_step(run.get());
    }
    EXPECT_EQ(result, StepResult::KERNEL_ERROR);
    EXPECT_EQ(sim_time(), 1000.0);
    EXPECT_EQ(run->last_error, 41);
    EXPECT_EQ(run_until(run.get(), until(3000.0)), RunEnd::COMPLETED);
    EXPECT_EQ(run->kernel_errors, 1u);
    EXPECT_EQ(codes, std::vector<int>{41});
}

} // namespace
