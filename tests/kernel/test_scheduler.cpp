// Processes and the sequencing set: ordering at equal times, the state table, planning refusals, errors
// inside bodies, and the planning utilities of the model.
#include "kernel_fixture.h"
#include "ttpc/sl1func.h"

#include <algorithm>
#include <cmath>
#include <functional>
#include <random>
#include <string>
#include <vector>

namespace {

/// A process whose body is a test script; each call must end at a wait point (or an error).
struct Scripted : SimProcess {
    std::function<void(Scripted*)> script;
    std::vector<std::string>* log;
    int runs;
};

void scripted_body(SimProcess* process) {
    auto* s = static_cast<Scripted*>(process);
    s->runs += 1;
    s->script(s);
}

class SchedulerTest : public KernelTest {
  protected:
    std::vector<std::string> log;

    Scripted* make(const char* name, std::function<void(Scripted*)> script) {
        auto* s = sim_new<Scripted>();
        inic_process(s, scripted_body);
        s->name = name;
        s->script = std::move(script);
        s->log = &log;
        return s;
    }
    /// A process that logs "<name>@<time>" and holds for `delay` forever.
    Scripted* make_logger(const char* name, double delay) {
        return make(name, [delay](Scripted* s) {
            s->log->push_back(std::string(s->name) + "@" + std::to_string(static_cast<int>(sim_time())));
            hold(delay, 1);
        });
    }
    void run(int steps) {
        for (int i = 0; i < steps; ++i) {
            ASSERT_TRUE(next_event()) << "step " << i;
        }
    }
};

TEST_F(SchedulerTest, EqualTimesRunInPlanningOrder) {
    Scripted* a = make_logger("a", 100);
    Scripted* b = make_logger("b", 100);
    Scripted* c = make_logger("c", 100);
    Scripted* early = make_logger("early", 100);
    reactivate_at(a, 5);
    reactivate_at(b, 5);
    reactivate_at(c, 5);
    reactivate_at(early, 4);
    run(4);
    EXPECT_EQ(log, (std::vector<std::string>{"early@4", "a@5", "b@5", "c@5"}));
}

TEST_F(SchedulerTest, HoldZeroLetsEverythingPlannedNowRunFirst) {
    Scripted* a = make("a", [](Scripted* s) {
        s->log->push_back(s->resume == SIM_START ? "a-before" : "a-after");
        if (s->resume == SIM_START) {
            hold(0.0, 1);
        } else {
            passivate(2);
        }
    });
    Scripted* b = make_logger("b", 10);
    Scripted* c = make_logger("c", 10);
    reactivate_at(a, 0);
    reactivate_at(b, 0);
    reactivate_at(c, 0);
    run(4);
    EXPECT_EQ(log, (std::vector<std::string>{"a-before", "b@0", "c@0", "a-after"}));
}

TEST_F(SchedulerTest, StateTableAndRestartFromTheBeginningAfterCancelOfNewPlanned) {
    Scripted* p = make("p", [](Scripted* s) {
        s->log->push_back("resume " + std::to_string(s->resume));
        hold(10.0, s->resume + 1);
    });
    EXPECT_EQ(state(p), NEW_PASSIVE);
    reactivate_at(p, 1);
    EXPECT_EQ(state(p), NEW_PLANNED);
    reactivate_at(p, 2); // moved, still new
    EXPECT_EQ(state(p), NEW_PLANNED);
    cancel(p);
    EXPECT_EQ(state(p), NEW_PASSIVE);
    reactivate_delay(p, 3);
    run(1);
    EXPECT_EQ(sim_time(), 3.0);
    EXPECT_EQ(state(p), PLANNED);
    run(1); // continues after its wait point
    cancel(p);
    EXPECT_EQ(state(p), PASSIVE);
    reactivate_at(p, 20);
    EXPECT_EQ(state(p), PLANNED);
    run(1);
    EXPECT_EQ(log, (std::vector<std::string>{"resume 0", "resume 1", "resume 2"}));

    // A NEW_PLANNED process starts from its beginning even if its record says otherwise.
    Scripted* q = make("q", [](Scripted* s) {
        s->log->push_back("q resume " + std::to_string(s->resume));
        passivate(7);
    });
    q->resume = 5;
    reactivate_at(q, 20);
    run(1);
    EXPECT_EQ(log.back(), "q resume 0");
    EXPECT_EQ(state(q), PASSIVE);
}

TEST_F(SchedulerTest, PlanningRefusalsReportTheirCodeAndChangeNothing) {
    Scripted* p = make_logger("p", 10);
    reactivate_at(p, 5);
    run(1); // now 5, p planned at 15
    const double planned_for = p->evtime;

    reactivate_at(p, 4); // one time unit before now
    EXPECT_EQ(last_error(), 107);
    reactivate_at(p, NAN);
    EXPECT_EQ(last_error(), 107);
    reactivate_delay(p, -1);
    EXPECT_EQ(last_error(), 113);
    rank(p);
    EXPECT_EQ(last_error(), 68);
    EXPECT_EQ(p->evtime, planned_for);
    EXPECT_EQ(state(p), PLANNED);
    EXPECT_EQ(sqs_count(), 1u);

    reactivate_at(p, 5); // exactly now is accepted
    EXPECT_EQ(last_error(), -1);
    EXPECT_EQ(p->evtime, 5.0);

    Scripted* idle = make_logger("idle", 1);
    cancel(idle);
    EXPECT_EQ(last_error(), 87);
    inic_process(nullptr, scripted_body);
    EXPECT_EQ(last_error(), -1); // a null record with a program is simply null
    EXPECT_EQ(inic_process(idle, nullptr), nullptr);
    EXPECT_EQ(last_error(), 45);
    EXPECT_EQ(state(nullptr), TERMINATED);
    EXPECT_EQ(last_error(), 73);
}

TEST_F(SchedulerTest, RunningProcessCannotBePlannedButUtilitiesSayWhy) {
    int reported = -2;
    int utility = -2;
    Scripted* p = make("p", [&](Scripted* s) {
        if (s->resume == SIM_START) {
            utility = schedule_after(s, 5); // 1: the target is the running process; no error
            reported = error_flag() ? 1 : 0;
            hold(1.0, 1);
            return;
        }
        reactivate_delay(s, 5); // a kernel error inside the body ends the step
        passivate(2);
    });
    reactivate_at(p, 0);
    run(1);
    EXPECT_EQ(utility, SCHEDULE_TARGET_IS_RUNNING);
    EXPECT_EQ(reported, 0);
    EXPECT_FALSE(next_event());
    EXPECT_EQ(last_error(), 114);
    EXPECT_EQ(state(p), ACTIVE);
    EXPECT_EQ(calendar()->suc_in_sqs, p); // still first, same event time
    EXPECT_EQ(p->evtime, 1.0);
}

TEST_F(SchedulerTest, ErrorInABodyRerunsFromItsLastWaitPointAtTheSameTime) {
    Scripted* other = make_logger("other", 100);
    reactivate_at(other, 50);
    int attempts = 0;
    Scripted* p = make("p", [&](Scripted* s) {
        switch (s->resume) {
        case SIM_START:
            hold(10.0, 1);
            return;
        case 1:
            attempts += 1;
            s->log->push_back("attempt@" + std::to_string(static_cast<int>(sim_time())));
            schedule_at(other, sim_time() - 1); // refused: 107
            hold(5.0, 2);
            return;
        default:
            passivate(3);
        }
    });
    reactivate_at(p, 0);
    run(1);
    EXPECT_FALSE(next_event());
    EXPECT_EQ(last_error(), 107);
    EXPECT_FALSE(next_event());
    EXPECT_EQ(last_error(), 107);
    EXPECT_EQ(attempts, 2);
    EXPECT_EQ(log, (std::vector<std::string>{"attempt@10", "attempt@10"}));
    EXPECT_EQ(other->evtime, 50.0);
}

TEST_F(SchedulerTest, FailedHoldLeavesTheProcessActiveAndUnplanned) {
    Scripted* p = make("p", [](Scripted*) { hold(-1.0, 1); });
    Scripted* q = make_logger("q", 10);
    reactivate_at(p, 0);
    reactivate_at(q, 0);
    EXPECT_FALSE(next_event());
    EXPECT_EQ(last_error(), 41);
    EXPECT_EQ(state(p), ACTIVE);
    EXPECT_FALSE(is_planned(p));
    run(3);
    EXPECT_EQ(log, (std::vector<std::string>{"q@0", "q@10", "q@20"}));
    EXPECT_EQ(p->runs, 1);
}

TEST_F(SchedulerTest, EmptySequencingSetFailsWithCode72) {
    EXPECT_FALSE(next_event());
    SimErrorRecord record{};
    ASSERT_TRUE(get_error(&record));
    EXPECT_EQ(record.code, 72);
    EXPECT_EQ(record.current, nullptr);
}

TEST_F(SchedulerTest, StepWithoutAKernelFailsWithCode72) {
    dispose_all(); // no Calendar until the next inic_kernel
    EXPECT_FALSE(next_event());
    EXPECT_EQ(last_error(), 72);
    EXPECT_FALSE(advance_time(1.0));
    inic_kernel(); // for TearDown
}

TEST_F(SchedulerTest, ErrorReportedDuringSetUpFailsTheNextStepAfterItRuns) {
    Scripted* p = make_logger("p", 10);
    reactivate_at(p, 0);
    cancel(nullptr); // a set-up error: the flag stays set
    EXPECT_FALSE(next_event());
    EXPECT_EQ(log.size(), 1u);
    EXPECT_EQ(last_error(), 84);
    EXPECT_TRUE(next_event());
}

TEST_F(SchedulerTest, PlanningUtilitiesSkipTerminatedProcesses) {
    Scripted* p = make_logger("p", 10);
    EXPECT_FALSE(is_planned(p));
    EXPECT_EQ(schedule_after(p, 2), SCHEDULE_DONE);
    EXPECT_TRUE(is_planned(p));
    EXPECT_EQ(unschedule(p), SCHEDULE_DONE);
    EXPECT_FALSE(is_planned(p));
    EXPECT_EQ(unschedule(p), SCHEDULE_DONE); // not planned: nothing to do, no error
    EXPECT_EQ(last_error(), -1);
    p->state = TERMINATED;
    EXPECT_TRUE(is_terminated(p));
    EXPECT_EQ(schedule_at(p, 1), SCHEDULE_TARGET_TERMINATED);
    EXPECT_EQ(schedule_after(p, 1), SCHEDULE_TARGET_TERMINATED);
    EXPECT_EQ(last_error(), -1);
    EXPECT_FALSE(is_planned(p));
}

TEST_F(SchedulerTest, StatisticsAccumulateTimeBeforePlanningAndPassivating) {
    Scripted* p = make("p", [](Scripted* s) {
        if (s->resume == SIM_START) {
            hold(4.0, 1);
        } else {
            passivate(2);
        }
    });
    p->statistics = 1;
    reactivate_at(p, 0); // planned after 0 time units
    run(2);              // holds at 0 (plan +0), passivates at 4 (passive +4)
    EXPECT_DOUBLE_EQ(p->plan_accumulator, 0.0);
    EXPECT_DOUBLE_EQ(p->passive_accumulator, 4.0);
}

// The sequencing set's order under many random plans, moves and cancels equals the order of a plain
// stable sort by (event time, planning order).
TEST_F(SchedulerTest, OrderMatchesAStableSortUnderRandomPlanning) {
    std::mt19937 random(12345);
    std::vector<Scripted*> processes;
    for (int i = 0; i < 300; ++i) {
        processes.push_back(make_logger("x", 1));
    }
    std::vector<std::pair<double, uint64_t>> expected_key(processes.size());
    std::vector<bool> planned(processes.size(), false);
    uint64_t order = 0;
    for (int round = 0; round < 3000; ++round) {
        size_t i = random() % processes.size();
        if (planned[i] && random() % 4 == 0) {
            cancel(processes[i]);
            planned[i] = false;
        } else {
            double t = static_cast<double>(random() % 50); // many equal times
            reactivate_at(processes[i], t);
            expected_key[i] = {t, ++order};
            planned[i] = true;
        }
    }
    std::vector<size_t> expected;
    for (size_t i = 0; i < processes.size(); ++i) {
        if (planned[i]) {
            expected.push_back(i);
        }
    }
    std::sort(expected.begin(), expected.end(),
              [&](size_t a, size_t b) { return expected_key[a] < expected_key[b]; });
    ASSERT_EQ(sqs_count(), expected.size());
    std::vector<size_t> actual;
    SimProcess* p = calendar()->suc_in_sqs;
    for (size_t n = 0; n < expected.size(); ++n) {
        actual.push_back(std::find(processes.begin(), processes.end(), p) - processes.begin());
        p = p->suc_in_sqs;
    }
    EXPECT_EQ(p, calendar()->suc_in_sqs); // the members form a circle
    EXPECT_EQ(calendar()->pred_in_sqs, processes[expected.back()]);
    EXPECT_EQ(actual, expected);
}

} // namespace
