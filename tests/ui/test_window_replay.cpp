// What `pelorin --replay LOG` and `--campaign-row FILE.csv:K` open: the rows, the step the window stops
// before, and each refusal with the file it names; and that the thread stands exactly before that step.
#include "ui/window_replay.h"

#include "cli/campaign.h"
#include "host/cluster_run.h"
#include "host/fault_plan.h"
#include "tests/scratch_directory.h"
#include "ui/sine_wave_thread.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <thread>

namespace {

namespace fs = std::filesystem;

constexpr const char* CAMPAIGN_HEAD =
    "# pelorin-sim campaign: seed=7 runs=8 target=CNI effect=flip injections=1 window_us=5000:20000 "
    "horizon_us=40000 configuration=621f814e30266b85\n# shard: 0/1\n";
constexpr const char* ONE_INJECTION =
    "2,18500.103507552718,1577,CNI,O1,93,null_frame[23],0,flip,0x00000001,0x00000000,1,no-effect,yes,,";
constexpr double SETTLED_US = 200000.0;
constexpr int WAIT_POLLS = 60000; // milliseconds before the thread counts as stuck
constexpr const char* NO_INJECTION = "3,,,,,,,,,,,0,no-effect,yes,,";

class WindowReplayTest : public ::testing::Test {
  protected:
    fs::path dir = make_scratch_directory("pelorin-window-replay");
    std::string csv = (dir / "c.csv").string();
    WindowReplay replay;
    std::string why;

    void SetUp() override {
        std::ofstream(csv) << CAMPAIGN_HEAD << CAMPAIGN_CSV_HEADER << "\n"
                           << ONE_INJECTION << "\n"
                           << NO_INJECTION << "\n";
    }
    void TearDown() override { fs::remove_all(dir); }
    std::string Refusal(const std::string& argument) {
        return read_campaign_row(argument, &replay, &why) ? "" : why;
    }
};

TEST_F(WindowReplayTest, ACampaignRowOpensAsItsOneInjectionStoppedBeforeItsStep) {
    ASSERT_TRUE(read_campaign_row(csv + ":2", &replay, &why)) << why;
    ASSERT_EQ(replay.rows.size(), 1u);
    EXPECT_EQ(replay.stop_before_step, 1577u);
    EXPECT_EQ(replay.rows[0].word, 93u);
    EXPECT_EQ(replay.rows[0].source, SOURCE_NOW);
    EXPECT_EQ(replay.rows[0].after, 0u);
}

TEST_F(WindowReplayTest, ARowThatCannotBeOpenedIsRefusedNamingTheFile) {
    EXPECT_EQ(Refusal(csv), "--campaign-row " + csv + ": wants FILE.csv:K, K the experiment's number");
    EXPECT_EQ(Refusal(csv + ":-1"),
              "--campaign-row " + csv + ":-1: '-1' is not an experiment number (a whole number, from 0)");
    EXPECT_EQ(Refusal(csv + ":2x"),
              "--campaign-row " + csv + ":2x: '2x' is not an experiment number (a whole number, from 0)");
    EXPECT_EQ(Refusal(csv + ":0"), csv + ": holds no experiment 0 (it holds experiments 2 to 3)")
        << "a campaign numbers its experiments from 0";
    EXPECT_EQ(Refusal(csv + ":9"), csv + ": holds no experiment 9 (it holds experiments 2 to 3)");
    EXPECT_EQ(Refusal(csv + ":3"), csv + ": experiment 3 injected 0 times; only an experiment with one "
                                         "injection can be opened from its row");
    const std::string missing = (dir / "none.csv").string();
    EXPECT_EQ(Refusal(missing + ":1").rfind(missing, 0), 0u) << why;
    std::ofstream(csv, std::ios::app) << "not a row\n";
    EXPECT_NE(Refusal(csv + ":2").find(csv + ":6"), std::string::npos) << "the file and its line: " << why;
}

TEST_F(WindowReplayTest, ALogStopsBeforeItsFirstInjectionNotBeforeAFaultBeingAdded) {
    InjectionRecord added{};
    added.action = ROW_ADDED;
    added.step = 3;
    InjectionRecord bit{};
    bit.action = ROW_BIT;
    bit.step = 900;
    EXPECT_EQ(first_injection_step({added, bit}), 900u);
    EXPECT_EQ(first_injection_step({added}), 0u);
    const std::string empty = (dir / "empty.csv").string();
    std::ofstream(empty) << INJECTION_LOG_FORMAT_LINE << "\n" << INJECTION_LOG_HEADER << "\n";
    EXPECT_FALSE(read_window_replay(empty, &replay, &why));
    EXPECT_EQ(why, empty + ": the log holds no injection to replay");
}

/// A row injected between two steps at the same simulated time, from a headless run.
InjectionRecord injection_after_a_step_that_left_time_as_it_was() {
    ClusterConfig config;
    std::string why;
    EXPECT_EQ(read_cluster_config(PELORIN_DEFAULT_DATA_DIR, {}, &config, &why), ASSEMBLY_OK) << why;
    auto run = std::make_unique<ClusterRun>();
    RunSettings settings;
    settings.trace = false;
    InjectionRecord row{};
    RunHooks hooks;
    hooks.on_injection = [&row](ClusterRun&, const InjectionRecord& r) { row = r; };
    start_run(run.get(), config, settings, std::move(hooks));
    run_until(run.get(), RunLimit{0, SETTLED_US});
    for (double before = sim_time(); run_step(run.get()) == StepResult::STEPPED; before = sim_time()) {
        if (sim_time() == before) {
            break;
        }
    }
    inject(run->cluster.fault_injector); // as the window's Inject now, between the two steps
    finish_run(run.get());
    return row;
}

TEST(WindowReplayStop, TheThreadStandsBeforeTheInjectionsStepAlsoAfterAStepThatLeftTimeAsItWas) {
    const InjectionRecord row = injection_after_a_step_that_left_time_as_it_was();
    ASSERT_GT(row.step, 0u);
    SineThreadOptions options;
    options.directory = PELORIN_DEFAULT_DATA_DIR;
    options.trace_file = "";
    options.injection_log = "";
    options.replay = {row};
    options.stop_before_step = row.step;
    auto thread = TOrvikThread::Create<TSineWaveThread>(options);
    thread->Run();
    for (int i = 0; i < WAIT_POLLS && !(thread->GetPaused() && thread->IsParked()); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_TRUE(thread->IsParked());
    thread->WithModelLocked([&] {
        EXPECT_EQ(step_count(), row.step) << "an unpaced cycle would go on to a step that advances time";
        EXPECT_EQ(cni_words(thread->GetCluster().controllers[NODE_O1]->cni)[row.word], row.before);
        EXPECT_EQ(sim_time(), row.time);
    });
    thread->TraceStep(true);
    ASSERT_EQ(thread->RunRows().size(), 1u);
    EXPECT_EQ(thread->ReplayFailure(), "");
}

} // namespace
