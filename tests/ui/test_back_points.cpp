// Going back from the points the simulation thread keeps of its own model: the same run as a replay from
// time 0 (the model to the bit, the slot history the observer shows), going on identically afterwards with
// the faults of the run, the points after the one used dropped, and no point kept while periodic injection
// runs.
#include "ui/sine_wave_thread.h"

#include "kernel/sim_process.h"

#include "tests/scratch_directory.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#ifndef PELORIN_DEFAULT_DATA_DIR
#error "PELORIN_DEFAULT_DATA_DIR must name the data/ directory"
#endif

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr uint64_t BEFORE_FAULTS = 20000; // slots run before the faults: two back points, 8192 and 16384
constexpr uint32_t EARLY_BIT = 1000;
constexpr uint32_t TO_THE_BIT = 100;
constexpr uint32_t AFTER_THE_BIT = 3000;
constexpr double SLOT_US = 250.0;

class BackPointTest : public ::testing::Test {
  protected:
    fs::path dir;
    TSineWaveThread::Ptr thread;

    void SetUp() override { dir = make_scratch_directory("pelorin-back-points"); }
    void TearDown() override {
        thread.reset();
        EXPECT_EQ(memory_count(), 0u) << "the model was not disposed of";
        fs::remove_all(dir);
    }
    SineThreadOptions Options() const {
        return SineThreadOptions{PELORIN_DEFAULT_DATA_DIR, "", (dir / "injections.csv").string()};
    }
    void Build(SineThreadOptions options) {
        thread = TOrvikThread::Create<TSineWaveThread>(std::move(options));
        ASSERT_FALSE(thread->BuildFailed()) << thread->BuildError();
        thread->SetSleepPerCycle(0.0); // paced at full speed: steps of slots end where time advances
    }
    void Steps(uint32_t slots) {
        thread->StepSlots(slots);
        ASSERT_TRUE(thread->WaitStopped(120s));
    }
    /// Every interface and register word, the time and the laser's hits.
    struct Model {
        std::vector<uint32_t> words;
        double time;
        uint32_t hits;
        bool operator==(const Model&) const = default;
    };
    Model Here() {
        return thread->WithModelLocked([this] {
            Model m{{}, sim_time(), thread->GetCluster().laser->hits};
            for (TtpController* c : thread->GetCluster().controllers) {
                m.words.insert(m.words.end(), cni_words(c->cni), cni_words(c->cni) + CNI_WORD_COUNT);
                const uint32_t* reg = controller_register_words(c);
                m.words.insert(m.words.end(), reg, reg + REG_MASK_WORDS);
            }
            return m;
        });
    }
    /// What the observer shows of the slots: the recorder's history as the slot-event CSV rows.
    std::vector<std::string> History() {
        SlotEventsCopy copy;
        thread->ReadSlotEvents(&copy);
        std::vector<std::string> rows;
        for (uint64_t n = copy.columns.first(); n <= copy.columns.total; ++n) {
            rows.push_back(slot_event_csv_rows(copy.columns.at(n), copy.injections));
        }
        return rows;
    }
    uint64_t Slots() {
        SlotEventsCopy copy;
        thread->ReadSlotEvents(&copy);
        return copy.columns.total;
    }
};

TEST_F(BackPointTest, GoingBackFromAKeptPointIsTheReplayFromTimeZeroAndTheRunGoesOnIdentically) {
    Build(Options());
    Steps(EARLY_BIT);
    thread->InjectNow(); // a row before the back points: what the model did before the point gone back to
    Steps(BEFORE_FAULTS - EARLY_BIT);
    const Model before = Here();
    EXPECT_EQ(thread->BackPointSlots(), (std::vector<uint64_t>{8192, 16384}));
    FaultSpec crash;
    std::string why;
    ASSERT_TRUE(parse_fault("crash node=M2 duration_us=1000", &crash, &why)) << why;
    ASSERT_EQ(thread->AddFault(crash), 1u); // makes the run's fault plan: objects no point has
    Steps(TO_THE_BIT);
    thread->InjectNow();
    Steps(AFTER_THE_BIT);
    const Model after = Here();
    const std::vector<InjectionRecord> rows = thread->RunRows();
    ASSERT_GE(rows.size(), 4u) << "the early bit, added, what the crash did, the bit";

    ASSERT_TRUE(thread->GoBackInPlace(BEFORE_FAULTS + 1));
    EXPECT_EQ(thread->BackPointSlots(), std::vector<uint64_t>{8192})
        << "the point a whole slot history before the goal serves; the later one is dropped";
    thread->Run();
    ASSERT_TRUE(thread->WaitStopped(120s));
    EXPECT_EQ(Slots(), BEFORE_FAULTS);
    const Model back_at = Here();
    EXPECT_LE(back_at.time, before.time) << "where the slot begins (the steps stopped at a cycle's end)";
    EXPECT_GT(back_at.time, before.time - SLOT_US);
    EXPECT_EQ(thread->ReplayFailure(), "");
    const std::vector<std::string> history = History();
    EXPECT_GE(history.size(), size_t{SLOT_HISTORY});

    Steps(TO_THE_BIT + AFTER_THE_BIT);
    EXPECT_TRUE(Here() == after) << "the faults of the run came again, at their steps";
    EXPECT_EQ(thread->ReplayFailure(), "");
    const std::vector<InjectionRecord> again = thread->RunRows();
    ASSERT_EQ(again.size(), rows.size());
    for (size_t k = 0; k < rows.size(); ++k) {
        EXPECT_EQ(injection_log_row(again[k]), injection_log_row(rows[k])) << "row " << k + 1;
    }
    std::vector<InjectionRecord> logged;
    ASSERT_TRUE(read_injection_csv((dir / "injections.csv").string(), &logged, &why)) << why;
    EXPECT_EQ(logged.size(), rows.size()) << "the rows replayed are not written again";
    thread.reset();

    // The same Back replayed from time 0 in a new model stops at the same model with the same history.
    SineThreadOptions back = Options();
    back.replay = rows;
    back.replay_is_own = true;
    back.stop_after_slots = BEFORE_FAULTS;
    Build(back);
    thread->Run();
    ASSERT_TRUE(thread->WaitStopped(120s));
    EXPECT_TRUE(Here() == back_at) << "the model to the bit";
    EXPECT_EQ(History(), history);
}

TEST_F(BackPointTest, NoPointIsKeptWhilePeriodicInjectionRunsAndAYoungRunGoesBackFromTimeZero) {
    Build(Options());
    EXPECT_FALSE(thread->GoBackInPlace(1)) << "nothing kept yet";
    thread->SetFaultRate(1000.0);
    Steps(10000);
    EXPECT_TRUE(thread->BackPointSlots().empty());
    thread->SetFaultRate(0.0);
    Steps(10000);
    const std::vector<uint64_t> points = thread->BackPointSlots();
    ASSERT_FALSE(points.empty());
    EXPECT_GE(points[0], 10000u) << "the first once the injector rested";
    EXPECT_FALSE(thread->GoBackInPlace(points[0] + SLOT_HISTORY))
        << "the point is not a whole slot history before the goal";
    EXPECT_TRUE(thread->GoBackInPlace(points[0] + SLOT_HISTORY + 1));
}

} // namespace
