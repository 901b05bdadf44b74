// The simulation thread: pacing arithmetic, the shape of a pacing cycle, run/stop/trace control, kernel
// errors and their acknowledgement, and destruction from every waiting state. Threads are awaited only by
// bounded condition waits, never by sleeping.
#include "ui/orvik_thread.h"

#include "kernel/sim_process.h"
#include "kernel/trace.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

constexpr auto WAIT_BOUND = 30s; // a hang shows as a failure, not a stuck test

/// Holds `delay` forever; a burst process first runs five events at one time (holds of 0). With a target
/// it plans the target one unit in the past at its first run (code 107), then carries on.
struct Proc : SimProcess {
    double delay;
    bool burst;
    SimProcess* target;
    int yields;    // a long step: lets other threads run while the body is in the middle of it
    uint32_t runs; // counted before the failing call, so the rerun after the error does not fail again
};

void proc_body(SimProcess* process) {
    auto* p = static_cast<Proc*>(process);
    p->runs += 1;
    for (int i = 0; i < p->yields; ++i) {
        std::this_thread::yield();
    }
    if (p->target != nullptr && p->runs == 1) {
        reactivate_at(p->target, sim_time() - 1.0);
    }
    hold(p->burst && p->runs % 5 != 0 ? 0.0 : p->delay, 1);
}

Proc* plan(double delay, bool burst = false, SimProcess* target = nullptr) {
    auto* p = sim_new<Proc>();
    inic_process(p, proc_body);
    p->name = "Proc";
    p->delay = delay;
    p->burst = burst;
    p->target = target;
    reactivate_at(p, 0.0);
    return p;
}

void plan_ticker() {
    plan(1.0);
}
void plan_burst_and_ticker() {
    plan(10.0, true);
    plan(1.0);
}
void plan_faulty_and_ticker() {
    Proc* faulty = plan(1.0);
    faulty->target = plan(1.0);
}

class TTestThread : public TOrvikThread {
  public:
    TTestThread(std::function<void()> plan, bool block_on_errors)
        : plan_(std::move(plan)), block_(block_on_errors) {}

    uint64_t steps_at_after_step = 0; // model lock
    uint64_t after_steps = 0;         // progress_
    std::vector<int> errors;          // progress_

    template <class Pred>
    bool WaitFor(Pred pred) {
        std::unique_lock<std::mutex> lock(progress_);
        return progressed_.wait_for(lock, WAIT_BOUND, pred);
    }
    template <class F>
    auto Read(F f) {
        std::lock_guard<std::mutex> lock(progress_);
        return f();
    }

  protected:
    void BuildModel() override {
        inic_kernel();
        plan_();
    }
    void AfterStep() override {
        steps_at_after_step = step_count();
        std::lock_guard<std::mutex> lock(progress_);
        after_steps += 1;
        progressed_.notify_all();
    }
    void ReportKernelError(uint8_t code, const char* message) override {
        {
            std::lock_guard<std::mutex> lock(progress_);
            errors.push_back(code);
            progressed_.notify_all();
        }
        if (block_) {
            TOrvikThread::ReportKernelError(code, message); // await acknowledgement
        }
    }

  private:
    std::function<void()> plan_;
    bool block_;
    std::mutex progress_;
    std::condition_variable progressed_;
};

class OrvikThreadTest : public ::testing::Test {
  protected:
    TOrvikThread::Ptr<TTestThread> thread;

    void SetUp() override { trace_off(); }
    void TearDown() override {
        thread.reset();
        ExpectModelDisposed();
    }
    void Make(std::function<void()> plan, bool block_on_errors = true) {
        thread = TOrvikThread::Create<TTestThread>(std::move(plan), block_on_errors);
    }
    uint64_t Steps() {
        return thread->WithModelLocked([] { return step_count(); });
    }
    bool WaitForAfterSteps(uint64_t n) {
        return thread->WaitFor([&] { return thread->after_steps >= n; });
    }
    std::vector<int> Errors() {
        return thread->Read([&] { return thread->errors; });
    }
    static void ExpectModelDisposed() {
        EXPECT_EQ(heap(), nullptr);
        EXPECT_EQ(memory_count(), 0u);
    }
};

TEST(OrvikPacing, SliderPositionsGiveTheirSleepPerCycle) {
    EXPECT_EQ(TOrvikThread::SleepForSliderPosition(0), 1000.0);
    EXPECT_EQ(TOrvikThread::SleepForSliderPosition(500), 31.25);
    EXPECT_EQ(TOrvikThread::SleepForSliderPosition(1000), 0.0);
    EXPECT_NEAR(TOrvikThread::SleepForSliderPosition(250),
                std::pow(750.0 / (1000.0 / std::pow(1000.0, 0.2)), 5.0), 1e-9);
    EXPECT_EQ(TOrvikThread::SleepForSliderPosition(-7), 1000.0);
    EXPECT_EQ(TOrvikThread::SleepForSliderPosition(1200), 0.0);
}

TEST(OrvikPacing, FractionsOfMillisecondsAccumulateAcrossCycles) {
    const auto sleeps = [](double per_cycle, double& accumulator) {
        std::vector<int64_t> out;
        for (int i = 0; i < 4; ++i) {
            out.push_back(TOrvikThread::TakePacingSleep(accumulator, per_cycle));
        }
        return out;
    };
    double accumulator = 0.0;
    EXPECT_EQ(sleeps(0.5, accumulator), (std::vector<int64_t>{0, 1, 0, 1}));
    EXPECT_EQ(sleeps(2.75, accumulator), (std::vector<int64_t>{2, 3, 3, 3}));
    EXPECT_EQ(accumulator, 0.0);
    EXPECT_EQ(sleeps(0.0, accumulator), (std::vector<int64_t>{0, 0, 0, 0}));
}

TEST_F(OrvikThreadTest, SleepPerCycleRefusesValuesThatWouldStallPacing) {
    Make(plan_ticker);
    thread->SetSleepPerCycle(-5.0); // would drive the accumulator ever lower and swallow later sleeps
    EXPECT_EQ(thread->GetSleepPerCycle(), 0.0);
    thread->SetSleepPerCycle(std::numeric_limits<double>::quiet_NaN());
    EXPECT_EQ(thread->GetSleepPerCycle(), 0.0);
    thread->SetSleepPerCycle(1e300);
    EXPECT_EQ(thread->GetSleepPerCycle(), TOrvikThread::MAX_SLEEP_PER_CYCLE);
}

TEST_F(OrvikThreadTest, CreatedParkedWithTheModelBuiltAndNothingRun) {
    Make(plan_ticker);
    EXPECT_TRUE(thread->IsParked());
    EXPECT_FALSE(thread->GetPaused());
    EXPECT_EQ(thread->WithModelLocked([] { return memory_count(); }), 1u);
    thread->Stop(); // returns at once
    EXPECT_EQ(Steps(), 0u);
    EXPECT_EQ(thread->GetSimTime(), 0.0);
}

TEST_F(OrvikThreadTest, TraceRunsEventsAtThePresentTimeAndTheFirstThatAdvancesIt) {
    // Five burst events and a ticker event at 0, then the ticker's event at 1; then one event per cycle.
    Make(plan_burst_and_ticker);
    thread->TraceStep(true);
    EXPECT_TRUE(thread->IsParked());
    EXPECT_TRUE(thread->GetPaused());
    EXPECT_EQ(Steps(), 7u);
    EXPECT_EQ(thread->GetSimTime(), 1.0);
    thread->TraceStep(true);
    EXPECT_EQ(Steps(), 8u);
    EXPECT_EQ(thread->GetSimTime(), 2.0);
    EXPECT_EQ(thread->Read([&] { return thread->after_steps; }), 8u);
}

TEST_F(OrvikThreadTest, CycleEndsAfterTheStepBudgetWhenTimeStandsStill) {
    Make([] { plan(0.0); });
    thread->TraceStep(true);
    EXPECT_EQ(Steps(), 1000u);
    thread->TraceStep(true);
    EXPECT_EQ(Steps(), 2000u);
    EXPECT_EQ(thread->GetSimTime(), 0.0);
}

TEST_F(OrvikThreadTest, StopAndTraceOnARunningThreadParkItBetweenCycles) {
    Make(plan_ticker);
    thread->Run();
    ASSERT_TRUE(WaitForAfterSteps(20));
    thread->TraceStep(true);
    EXPECT_TRUE(thread->IsParked());
    thread->Run();
    ASSERT_TRUE(WaitForAfterSteps(50));
    thread->Stop();
    EXPECT_TRUE(thread->IsParked());
    // At a cycle boundary, and still: the next trace runs exactly one ticker event.
    const uint64_t steps = Steps();
    const double time = thread->GetSimTime();
    thread->TraceStep(true);
    EXPECT_EQ(Steps(), steps + 1);
    EXPECT_EQ(thread->GetSimTime(), time + 1.0);
}

TEST_F(OrvikThreadTest, PauseRequestAndBoundedWaitsStopWithoutBlockingTheCaller) {
    Make(plan_ticker);
    thread->SetPaused(false); // resumes like Run
    ASSERT_TRUE(WaitForAfterSteps(20));
    thread->SetPaused(true);
    bool stopped = false;
    for (int polls = 0; polls < 3000 && !stopped; ++polls) {
        stopped = thread->WaitStopped(10ms); // a window repaints between polls
    }
    EXPECT_TRUE(stopped);
    EXPECT_TRUE(thread->IsParked());
    const uint64_t steps = Steps();
    thread->TraceStep(false);
    ASSERT_TRUE(thread->WaitStopped(WAIT_BOUND)); // only the park after the traced cycle satisfies it
    EXPECT_EQ(Steps(), steps + 1);
}

TEST_F(OrvikThreadTest, StopAndDestructionCutALongPacingSleepShort) {
    Make(plan_ticker);
    thread->SetSleepPerCycle(TOrvikThread::MAX_SLEEP_PER_CYCLE); // an hour per cycle
    thread->Run();
    thread->Stop();
    EXPECT_TRUE(thread->IsParked());
    EXPECT_EQ(Steps(), 0u); // the cut-short cycle ran no event
    thread->Run();
    thread.reset();
    ExpectModelDisposed();
}

TEST_F(OrvikThreadTest, KernelErrorEndsTheCycleAndTheNextCycleRunsAfterAcknowledgement) {
    Make(plan_faulty_and_ticker);
    thread->TraceStep(true); // returns with the error awaiting acknowledgement
    EXPECT_FALSE(thread->IsParked());
    const auto pending = thread->PendingError();
    ASSERT_TRUE(pending.has_value());
    EXPECT_EQ(pending->code, 107);
    EXPECT_STREQ(pending->message, sim_error_message(107));
    EXPECT_EQ(Errors(), std::vector<int>{107});
    EXPECT_EQ(Steps(), 1u);

    thread->AcknowledgeError();
    thread->Stop();
    EXPECT_TRUE(thread->IsParked());
    EXPECT_FALSE(thread->PendingError().has_value());
    EXPECT_EQ(Steps(), 1u); // no step between the error and the park

    // The faulty process resumes at its last wait point and holds; the ticker runs; time 1 ends the cycle.
    thread->TraceStep(true);
    EXPECT_EQ(Errors(), std::vector<int>{107});
    EXPECT_EQ(Steps(), 4u);
    EXPECT_EQ(thread->GetSimTime(), 1.0);
    EXPECT_EQ(thread->Read([&] { return thread->after_steps; }), 3u); // none for the failed step
}

TEST_F(OrvikThreadTest, StopAndTraceDoNotWaitForAnOpenErrorBox) {
    Make(plan_faulty_and_ticker);
    thread->Run();
    ASSERT_TRUE(thread->WaitFor([&] { return !thread->errors.empty(); }));
    // The box is closed by the thread that presses Stop: waiting for it would never end.
    thread->Stop();
    thread->TraceStep(true);
    ASSERT_TRUE(thread->PendingError().has_value());
    thread->AcknowledgeError();
    thread->Stop();
    EXPECT_TRUE(thread->IsParked());
    EXPECT_EQ(Steps(), 1u);
    thread->Run(); // the run goes on past the error
    ASSERT_TRUE(WaitForAfterSteps(20));
}

TEST_F(OrvikThreadTest, DestructionAcknowledgesAnOpenError) {
    Make(plan_faulty_and_ticker);
    thread->Run();
    ASSERT_TRUE(thread->WaitFor([&] { return !thread->errors.empty(); }));
    thread.reset();
    ExpectModelDisposed();
}

TEST_F(OrvikThreadTest, AnErrorThatPersistsIsReportedInEveryCycle) {
    Make([] {}, /*block_on_errors=*/false); // empty sequencing set: every step fails with 72
    for (int cycle = 0; cycle < 3; ++cycle) {
        thread->TraceStep(true);
    }
    EXPECT_EQ(Errors(), (std::vector<int>{72, 72, 72}));
}

TEST_F(OrvikThreadTest, OutsideAccessNeverFallsBetweenAStepAndItsAfterStep) {
    Make([] { plan(1.0)->yields = 20; });
    thread->Run();
    // Check at every chance until 100 steps have run: a step whose body ran outside the lock would be
    // seen in the middle (the kernel's step count ahead of the last AfterStep).
    while (thread->WithModelLocked([&] {
        EXPECT_EQ(thread->steps_at_after_step, step_count());
        return step_count() < 100;
    })) {
    }
}

TEST_F(OrvikThreadTest, DestructionWhileRunningDisposesOfTheModelForTheNextBuild) {
    Make(plan_ticker);
    thread->Run();
    ASSERT_TRUE(WaitForAfterSteps(50));
    thread.reset();
    ExpectModelDisposed();
    Make(plan_ticker); // Rewind
    EXPECT_EQ(thread->GetSimTime(), 0.0);
    EXPECT_EQ(Steps(), 0u);
}

} // namespace
