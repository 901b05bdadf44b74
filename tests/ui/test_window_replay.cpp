// What `pelorin --replay LOG` and `--campaign-row FILE.csv:K` open: the rows, the step the window stops
// before, and each refusal with the file it names.
#include "ui/window_replay.h"

#include "cli/campaign.h"
#include "host/fault_plan.h"
#include "tests/scratch_directory.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace {

namespace fs = std::filesystem;

constexpr const char* CAMPAIGN_HEAD =
    "# pelorin-sim campaign: seed=7 runs=8 target=CNI effect=flip injections=1 window_us=5000:20000 "
    "horizon_us=40000 configuration=621f814e30266b85\n# shard: 0/1\n";
constexpr const char* ONE_INJECTION =
    "2,18500.103507552718,1577,CNI,O1,93,null_frame[23],0,flip,0x00000001,0x00000000,1,no-effect,yes,,";
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
    EXPECT_EQ(Refusal(csv + ":0"),
              "--campaign-row " + csv + ":0: '0' is not an experiment number (a whole number from 1)");
    EXPECT_EQ(Refusal(csv + ":2x"),
              "--campaign-row " + csv + ":2x: '2x' is not an experiment number (a whole number from 1)");
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

} // namespace
