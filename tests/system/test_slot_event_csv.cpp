// The slot-event CSV of the headless runner (pelorin-sim --slot-events): the cold start as the trace tells
// it, a run that records exactly as it runs without recording, and an output that cannot be written.
#include "cli/exit_status.h"
#include "cli/runner.h"
#include "host/slot_events.h"
#include "run_command.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace {

namespace fs = std::filesystem;

std::string read_text(const fs::path& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

class SlotEventCsvTest : public ::testing::Test {
  protected:
    fs::path dir;

    void SetUp() override {
        dir = fs::temp_directory_path() / (std::string("pelorin-slot-events-") +
                                           ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir);
        fs::create_directories(dir);
    }
    void TearDown() override { fs::remove_all(dir); }
    RunOptions Options(uint32_t cycles) const {
        RunOptions options;
        options.directory = PELORIN_DEFAULT_DATA_DIR;
        options.trace = false;
        options.fingerprint = true;
        options.cycles = cycles;
        return options;
    }
};

TEST_F(SlotEventCsvTest, ColdStartIsRecordedAsTheTraceShowsIt) {
    RunOptions options = Options(3);
    options.slot_events = (dir / "slots.csv").string();
    ASSERT_EQ(run_simulation(options).end, RunEnd::COMPLETED);
    // Checked by hand against the trace of the same run (times as the trace prints them):
    //   2099.9475 M1 COLDSTART sends its cold start frame (channel A); the others LISTEN until they
    //             integrate on it at 2186.2414 ("Got valid I-Frame", READY MV=[1000]); INIT at 0 is the
    //             worst each passed since the start.
    //   2349.9325 the slot begins with O2's start (M1's at 2349.9413, M2 sends at 2349.9575, "TP Start",
    //             READY -> STARTUP); O1 and O2 judge it at 2436.2514 ("IAck: OK -> OK"), M2 its own frames
    //             ("SEND -> CHECK1"); M1 accepts the answer in COLDSTART at 2436.2514 and is STARTUP
    //             MV=[1100] without judging a slot.
    //   2599.9175 O1 sends (2599.9550, READY -> STARTUP); M1, O2 judge it at 2686.2489, M2 ("CHECK1 -> OK"):
    //             all now hold MV=[1110].
    const std::string expected = std::string(SLOT_EVENTS_CSV_HEADER) +
                                 "\n"
                                 "2099.9475,M1,COLDSTART,INIT,1,,,\n"
                                 "2099.9475,M2,READY,INIT,0,,1000,\n"
                                 "2099.9475,O1,READY,INIT,0,,1000,\n"
                                 "2099.9475,O2,READY,INIT,0,,1000,\n"
                                 "2349.9325,M1,STARTUP,COLDSTART,0,,1100,\n"
                                 "2349.9325,M2,STARTUP,READY,1,correct,1100,\n"
                                 "2349.9325,O1,READY,READY,0,correct,1100,\n"
                                 "2349.9325,O2,READY,READY,0,correct,1100,\n"
                                 "2599.9175,M1,STARTUP,STARTUP,0,correct,1110,\n"
                                 "2599.9175,M2,STARTUP,STARTUP,0,correct,1110,\n"
                                 "2599.9175,O1,STARTUP,READY,1,correct,1110,\n"
                                 "2599.9175,O2,READY,READY,0,correct,1110,\n";
    EXPECT_EQ(read_text(dir / "slots.csv").substr(0, expected.size()), expected);
}

TEST_F(SlotEventCsvTest, RecordingChangesNothingTheRunDoes) {
    RunOptions options = Options(150);
    options.inject_rate = 3000;
    options.inject_from_us = 100000;
    options.inject_until_us = 250000;
    const RunSummary plain = run_simulation(options);
    options.slot_events = (dir / "slots.csv").string();
    options.injection_log = (dir / "injections.csv").string();
    const RunSummary recorded = run_simulation(options);
    ASSERT_GT(recorded.injections, 100u);
    EXPECT_EQ(recorded.trace_fingerprint, plain.trace_fingerprint);
    EXPECT_EQ(recorded.events, plain.events);

    // Every injection the log has is in the slot events, in order, once.
    std::ifstream slots(dir / "slots.csv");
    std::string line;
    uint64_t rows = 0;
    uint64_t next_injection = 1;
    while (std::getline(slots, line)) {
        rows += 1;
        std::istringstream injections(line.substr(line.rfind(',') + 1));
        for (uint64_t number = 0; injections >> number; ++next_injection) {
            ASSERT_EQ(number, next_injection) << line;
        }
    }
    EXPECT_EQ(next_injection - 1, recorded.injections);
    EXPECT_EQ((rows - 1) % NODE_COUNT, 0u) << "one row per node and slot";
}

TEST_F(SlotEventCsvTest, AnOutputThatCannotBeWrittenIsReported) {
    std::string out;
    EXPECT_EQ(run_command(std::string("--dir ") + PELORIN_DEFAULT_DATA_DIR +
                              " --cycles 5 --no-trace --slot-events " +
                              (dir / "missing" / "slots.csv").string(),
                          &out),
              EXIT_OUTPUT);
    EXPECT_NE(out.find("slots.csv: cannot be written"), std::string::npos) << out;
}

} // namespace
