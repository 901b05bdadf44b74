// A run kept with its model and put back: the run goes on from there exactly as it went on the first time,
// whatever the faults added since (a fault plan made after the checkpoint is gone again, one whose lists
// grew is as it was), and a model the checkpoint no longer fits is left alone.
#include "host/fault_plan.h"
#include "host/run_checkpoint.h"
#include "kernel/sim_process.h"
#include "kernel/trace.h"

#include <gtest/gtest.h>

#include <memory>

namespace {

class RunCheckpointTest : public ::testing::Test {
  protected:
    ClusterConfig config;
    std::unique_ptr<ClusterRun> run = std::make_unique<ClusterRun>();

    void SetUp() override {
        std::string why;
        ASSERT_EQ(read_cluster_config(PELORIN_DEFAULT_DATA_DIR, {}, &config, &why), ASSEMBLY_OK) << why;
        start();
    }
    void TearDown() override {
        finish_run(run.get());
        EXPECT_EQ(memory_count(), 0u);
    }
    void start() {
        RunSettings settings;
        settings.trace = false;
        settings.fingerprint = true;
        start_run(run.get(), config, settings);
    }
    void run_to(double t) { ASSERT_EQ(run_until(run.get(), RunLimit{0, t}), RunEnd::COMPLETED); }
    static FaultSpec fault(const char* text) {
        FaultSpec described;
        std::string why;
        EXPECT_TRUE(parse_fault(text, &described, &why)) << why;
        return described;
    }

    /// What the run has done by a point: everything it traced, its steps, its time and the laser's hits.
    struct Point {
        uint64_t fingerprint;
        uint64_t lines;
        uint64_t steps;
        double time;
        uint32_t hits;
        bool operator==(const Point&) const = default;
    };
    Point here() const {
        return {trace_fingerprint(), trace_fingerprint_lines(), step_count(), sim_time(),
                run->cluster.laser->hits};
    }
};

TEST_F(RunCheckpointTest, APutBackRunGoesOnAsItWentTheFirstTimeAndMayBePutBackAgain) {
    FaultSpec babbling = fault("babbling node=O1 at_us=200000 duration_us=4000");
    (void)run_add_fault(run.get(), babbling);
    run_to(250000);
    RunCheckpoint kept;
    ASSERT_TRUE(take_run_checkpoint(*run, &kept));
    const Point at_checkpoint = here();
    const StateDigest state = run_state_digest(*run);
    run_to(400000);
    const Point later = here();
    ASSERT_NE(later, at_checkpoint);

    for (int again = 0; again < 2; ++again) {
        ASSERT_TRUE(restore_run_checkpoint(run.get(), kept));
        EXPECT_EQ(here(), at_checkpoint);
        EXPECT_EQ(run_state_digest(*run), state) << "every record, the cluster's and the driver's as kept";
        run_to(400000);
        EXPECT_EQ(here(), later) << "pass " << again;
    }
}

TEST_F(RunCheckpointTest, FaultsAddedAfterTheCheckpointAreGoneWithThePlanTheyMade) {
    run_to(250000);
    const uint32_t objects = memory_count();
    RunCheckpoint kept;
    ASSERT_TRUE(take_run_checkpoint(*run, &kept));
    run_to(400000);
    const Point fault_free = here();
    ASSERT_TRUE(restore_run_checkpoint(run.get(), kept));
    // The first fault makes the run's fault plan, with its random stream: objects the checkpoint has not.
    (void)run_add_fault(run.get(), fault("crash node=M2 at_us=260000 duration_us=2000"));
    ASSERT_GT(memory_count(), objects);
    run_to(300000);
    ASSERT_NE(here().fingerprint, fault_free.fingerprint);
    ASSERT_TRUE(restore_run_checkpoint(run.get(), kept));
    EXPECT_EQ(memory_count(), objects);
    EXPECT_EQ(run->cluster.fault_plan, nullptr);
    run_to(400000);
    EXPECT_EQ(here(), fault_free);
}

TEST_F(RunCheckpointTest, APlanWhoseListsGrewSinceIsPutBackAsItWas) {
    (void)run_add_fault(run.get(), fault("crash node=M2 at_us=300000 duration_us=2000"));
    run_to(250000);
    RunCheckpoint kept;
    ASSERT_TRUE(take_run_checkpoint(*run, &kept));
    run_to(400000);
    const Point alone = here();
    ASSERT_TRUE(restore_run_checkpoint(run.get(), kept));
    // Enough faults that the plan's fault list and agenda give up their buffers for larger ones.
    for (int k = 0; k < 40; ++k) {
        (void)run_add_fault(run.get(), fault("lose channel=A at_us=260000 frames=1"));
    }
    run_to(270000);
    ASSERT_TRUE(restore_run_checkpoint(run.get(), kept));
    run_to(400000);
    EXPECT_EQ(here(), alone);
}

TEST_F(RunCheckpointTest, ACheckpointOfAnotherModelDoesNotFitAndChangesNothing) {
    run_to(250000);
    RunCheckpoint kept;
    ASSERT_TRUE(take_run_checkpoint(*run, &kept));
    finish_run(run.get());
    start(); // built again: other records, perhaps at the same addresses, but another memory list
    (void)run_add_fault(run.get(), fault("crash node=M2 at_us=100000 duration_us=2000"));
    run_to(150000);
    const Point before = here();
    if (sim_checkpoint_fits(kept.model)) {
        GTEST_SKIP() << "the new model happens to have every object where the old one had it";
    }
    EXPECT_FALSE(restore_run_checkpoint(run.get(), kept));
    EXPECT_EQ(here(), before);
}

} // namespace
