// The window's teaching controls, offscreen, on a running cluster. The fault panel: every kind injected
// with the keys it needs, a named field and bit striking the nodes chosen and replayed from the log,
// refusals in the fault readers' words. Lessons: captions shown once per firing as their faults fire, the
// stop at the lesson's time and the one stop on what its faults did, Rewind starting the lesson again, the
// bundled lessons, a file refused at its line. Stepping: one slot, one round, a step that Stop forgets.
#include "ui/fault_panel.h"
#include "ui/main_form.h"
#include "ui/observer_form.h"
#include "ui/window_replay.h"
#include "wait_until.h"

#include "host/fault_plan.h"
#include "host/sa1fault.h"
#include "kernel/sim_object.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QRegularExpression>
#include <QSlider>
#include <QSpinBox>
#include <QTest>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr uint32_t SETTLED_CYCLE = 5; // the cluster runs in its application mode
constexpr int CYCLE_BOUND = 2000000;  // pacing cycles before a trace counts as stuck
constexpr double LESSON_END_US = 400000.0;
constexpr double SLOT_US = 250.0;

class TeachingTest : public ::testing::Test {
  protected:
    fs::path dir;
    SineThreadOptions options;
    std::unique_ptr<TMainForm> form;

    void SetUp() override {
        dir = fs::temp_directory_path() / (std::string("pelorin-teaching-") +
                                           ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir);
        fs::create_directories(dir);
        options.directory = PELORIN_DEFAULT_DATA_DIR;
        options.trace_file = "";
        options.injection_log = (dir / "injections.csv").string();
        Build();
    }
    void TearDown() override {
        form.reset();
        EXPECT_EQ(memory_count(), 0u) << "the model was not disposed of";
        fs::remove_all(dir);
    }
    void Build() {
        form.reset();
        auto thread = TOrvikThread::Create<TSineWaveThread>(options);
        ASSERT_FALSE(thread->BuildFailed()) << thread->BuildError();
        form = std::make_unique<TMainForm>(options, std::move(thread));
        form->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(form.get()));
        form->findChild<QSlider*>("SlowTrackBar")->setValue(1000);
        form->ObserverClick();
    }
    uint32_t Cycles() const {
        SineSnapshot s;
        form->Thread()->ReadSnapshot(&s);
        return s.cluster_cycles;
    }
    void TraceToCycle(uint32_t cycles) {
        for (int i = 0; i < CYCLE_BOUND && Cycles() < cycles; ++i) {
            form->Thread()->TraceStep(true);
        }
        ASSERT_GE(Cycles(), cycles);
    }
    bool Still() {
        return WaitUntil([this] { return form->Thread()->GetPaused() && form->Thread()->IsParked(); }, 60s);
    }
    template <class T>
    T* Panel(const char* name) const {
        return form->FaultPanel()->findChild<T*>(name);
    }
    QString Said(const char* name) const { return form->Observer()->findChild<QLabel*>(name)->text(); }
    std::vector<uint32_t> Interfaces() {
        return form->Thread()->WithModelLocked([this] {
            std::vector<uint32_t> words;
            for (TtpController* c : form->Thread()->GetCluster().controllers) {
                words.insert(words.end(), cni_words(c->cni), cni_words(c->cni) + CNI_WORD_COUNT);
            }
            return words;
        });
    }
    void Open(const std::string& text) {
        const fs::path file = dir / "lesson.toml";
        std::ofstream(file) << text;
        QString why;
        ASSERT_TRUE(form->OpenScenario(QString::fromStdString(file.string()), &why)) << why.toStdString();
        form->Observer()->Refresh();
    }
    QStringList Captions() const {
        QStringList lines;
        auto* list = form->Observer()->findChild<QListWidget*>("Captions");
        for (int i = 0; i < list->count(); ++i) {
            lines << list->item(i)->text();
        }
        return lines;
    }
    uint64_t Slots() {
        form->Observer()->Refresh();
        return form->Observer()->Events().columns.total;
    }
};

// --- The fault panel ------------------------------------------------------------------------------------

TEST_F(TeachingTest, EveryKindIsInjectedFromThePanelWithTheKeysItNeedsAndLoggedAsShown) {
    TraceToCycle(SETTLED_CYCLE);
    form->Observer()->findChild<QPushButton*>("FaultPanelButton")->click();
    ASSERT_NE(form->FaultPanel(), nullptr);
    auto* kind = Panel<QComboBox>("Kind");
    ASSERT_EQ(kind->count(), static_cast<int>(FAULT_KIND_COUNT));
    Panel<QCheckBox>("ReceiverM2")->setChecked(true);
    Panel<QLineEdit>("rate")->setText("100");
    Panel<QLineEdit>("ber")->setText("0.001");
    Panel<QLineEdit>("offset_us")->setText("2");
    Panel<QLineEdit>("jump")->setText("3");
    std::vector<std::string> texts;
    for (unsigned k = 0; k < FAULT_KIND_COUNT; ++k) {
        kind->setCurrentIndex(static_cast<int>(k));
        Panel<QLineEdit>("duration_us")->setText(k == unsigned(FaultKind::BLACKOUT) ? "500" : "");
        texts.push_back(Panel<QLineEdit>("FaultText")->text().toStdString());
        EXPECT_EQ(form->FaultPanel()->InjectNow(), k + 1)
            << fault_kind_name(FaultKind(k)) << ": " << Panel<QLabel>("PanelResult")->text().toStdString();
    }
    form->Thread()->TraceStep(true);
    std::vector<InjectionRecord> rows;
    std::string why;
    ASSERT_TRUE(read_injection_csv(options.injection_log, &rows, &why)) << why;
    std::vector<std::string> added;
    for (const InjectionRecord& row : rows) {
        if (row.action == ROW_ADDED) {
            added.push_back(row.detail);
        }
    }
    EXPECT_EQ(added, texts);
    EXPECT_EQ(texts[0], "memory node=O1") << "a random field and bit by default, on O1 as the injector";
}

TEST_F(TeachingTest, ANamedFieldAndBitFlipThatBitOfTheNodesChosenAndTheLogReplaysIt) {
    TraceToCycle(SETTLED_CYCLE);
    form->FaultPanelClick();
    auto* field = Panel<QComboBox>("Field");
    ASSERT_EQ(field->itemText(0), "random");
    const uint32_t* mask = cni_fault_mask();
    uint32_t word = 0;
    int chosen = -1; // the first field by name with a meaningful bit above bit 0
    for (int i = 1; i < field->count() && chosen < 0; ++i) {
        ASSERT_TRUE(fault_word_by_name(TARGET_CNI, field->itemText(i).toStdString(), &word));
        chosen = (mask[word] & ~1u) != 0 ? i : -1;
    }
    ASSERT_GE(chosen, 0);
    const int bit = std::countr_zero(mask[word] & ~1u);
    field->setCurrentIndex(chosen);
    Panel<QSpinBox>("Bit")->setValue(bit);
    Panel<QCheckBox>("NodeM2")->setChecked(true);

    const std::vector<uint32_t> before = Interfaces();
    ASSERT_EQ(form->FaultPanel()->InjectNow(), 1u);
    std::vector<uint32_t> after;
    for (int i = 0; i < 100 && (after = Interfaces()) == before; ++i) {
        form->Thread()->TraceStep(true);
    }
    std::vector<size_t> changed;
    for (size_t i = 0; i < after.size(); ++i) {
        if (after[i] != before[i]) {
            changed.push_back(i);
            EXPECT_EQ(after[i] ^ before[i], 1u << bit) << "word " << i;
        }
    }
    EXPECT_EQ(changed,
              (std::vector<size_t>{NODE_M2 * CNI_WORD_COUNT + word, NODE_O1 * CNI_WORD_COUNT + word}));
    TraceToCycle(SETTLED_CYCLE + 3);
    const std::vector<uint32_t> ran_on = Interfaces();
    const uint32_t cycles = Cycles();

    std::string why;
    ASSERT_TRUE(read_injection_csv(options.injection_log, &options.replay, &why)) << why;
    options.injection_log = "";
    Build();
    TraceToCycle(cycles);
    EXPECT_EQ(Interfaces(), ran_on) << "the replay did what the panel's fault did";
}

TEST_F(TeachingTest, WhatTheFaultReadersRefuseThePanelRefusesInTheirWordsAndAddsNothing) {
    form->FaultPanelClick();
    Panel<QComboBox>("Kind")->setCurrentIndex(static_cast<int>(FaultKind::BIT_ERRORS));
    EXPECT_EQ(Panel<QLineEdit>("FaultText")->text(), "") << "no text for a fault that is refused";
    EXPECT_EQ(form->FaultPanel()->InjectNow(), 0u);
    EXPECT_EQ(Panel<QLabel>("PanelResult")->text().toStdString(),
              "Not injected: ber: is needed: the probability that one bit fails");
    Panel<QComboBox>("Kind")->setCurrentIndex(static_cast<int>(FaultKind::MEMORY));
    Panel<QComboBox>("Field")->setEditText("no_such_word");
    EXPECT_EQ(form->FaultPanel()->InjectNow(), 0u);
    EXPECT_TRUE(Panel<QLabel>("PanelResult")->text().contains("no_such_word"));
    form->Thread()->TraceStep(true);
    EXPECT_FALSE(fs::exists(options.injection_log)) << "nothing was logged";
}

// --- Lessons --------------------------------------------------------------------------------------------

TEST_F(TeachingTest, CaptionsShowOncePerFiringAndTheLessonStopsAtItsTimeAndAgainAfterRewind) {
    Open(R"(title = "A crash and a flip"
stop_at_us = 400000
[[fault]]
kind = "crash"
node = "O2"
at_us = 250000
duration_us = 20000
caption = "O2's controller falls silent."
[[fault]]
kind = "memory"
node = "M1+O1"
at_us = 300000
caption = "A bit flips in M1 and O1."
[[fault]]
kind = "lose"
channel = "A"
at_us = 320000
)");
    EXPECT_TRUE(Said("LessonTitle").contains("A crash and a flip"));
    for (int run = 0; run < 2; ++run) {
        EXPECT_TRUE(Captions().isEmpty());
        form->RunButtonClick();
        ASSERT_TRUE(Still());
        const double stopped = form->Thread()->GetSimTime();
        EXPECT_LE(stopped, LESSON_END_US);
        EXPECT_GT(stopped, LESSON_END_US - 1000.0) << "at the last event before the lesson's end";
        ASSERT_TRUE(WaitUntil([this] { return Captions().size() >= 2; }));
        EXPECT_EQ(Captions(), (QStringList{"0.250000 s: O2's controller falls silent.",
                                           "0.300000 s: A bit flips in M1 and O1."}))
            << "one line per firing, though two nodes' bits flipped; none for a fault without a caption";
        EXPECT_EQ(Said("LatestCaption"), "0.300000 s: A bit flips in M1 and O1.");
        EXPECT_TRUE(WaitUntil([this] { return Said("EffectLabel").contains("where the lesson ends"); }))
            << "said at the refresh after the stop, which may come after the captions' one";
        form->findChild<QPushButton*>("RewindButton")->click(); // the same lesson again
        form->Observer()->Refresh();
    }
}

TEST_F(TeachingTest, ALessonThatStopsOnEffectStopsOnceAtWhatItsFaultDidNotAtTheStartUp) {
    Open(R"(title = "A crash"
stop_on_effect = true
[[fault]]
kind = "crash"
node = "O1"
at_us = 300000
caption = "O1 falls silent."
)");
    form->RunButtonClick();
    ASSERT_TRUE(Still());
    EXPECT_GE(form->Thread()->GetSimTime(), 300000.0);
    ASSERT_TRUE(WaitUntil([this] { return Said("EffectLabel").contains("a membership vector changed"); }));
    EXPECT_FALSE(form->Observer()->findChild<QCheckBox*>("StopOnEffect")->isChecked())
        << "the window's own choice is left as it was";
    const double stopped = form->Thread()->GetSimTime();
    form->RunButtonClick(); // the membership changes that follow do not stop it again
    ASSERT_TRUE(WaitUntil([&] { return form->Thread()->GetSimTime() > stopped + 200000.0; }));
    EXPECT_FALSE(form->Thread()->GetPaused());
}

TEST_F(TeachingTest, TheBundledLessonsOpenAndAFileThatCannotBeUsedIsRefusedAtItsLine) {
    const fs::path lessons = fs::path(PELORIN_DEFAULT_DATA_DIR) / "scenarios";
    EXPECT_EQ(form->ScenarioDirectory().toStdString(), lessons.string());
    for (const auto& entry : fs::directory_iterator(lessons)) {
        QString why;
        EXPECT_TRUE(form->OpenScenario(QString::fromStdString(entry.path().string()), &why))
            << why.toStdString();
    }
    TSineWaveThread* before = form->Thread();
    const fs::path file = dir / "bad.toml";
    std::ofstream(file) << "title = \"Bad\"\n[[fault]]\nkind = \"crash\"\nnode = \"X9\"\n";
    QString why;
    EXPECT_FALSE(form->OpenScenario(QString::fromStdString(file.string()), &why));
    EXPECT_TRUE(why.startsWith(QString::fromStdString(file.string() + ":4: node:"))) << why.toStdString();
    EXPECT_EQ(form->Thread(), before) << "the run goes on as it was";
}

// --- Stepping -------------------------------------------------------------------------------------------

TEST_F(TeachingTest, StepSlotEndsOneSlotStepRoundOneOfEachNodeAndStopForgetsAStep) {
    TraceToCycle(SETTLED_CYCLE);
    uint64_t before = Slots();
    form->Observer()->findChild<QPushButton*>("StepSlotButton")->click();
    ASSERT_TRUE(Still());
    EXPECT_EQ(Slots(), before + 1);
    before = Slots();
    form->Observer()->findChild<QPushButton*>("StepRoundButton")->click();
    ASSERT_TRUE(Still());
    ASSERT_EQ(Slots(), before + SLOTS_PER_ROUND);
    std::set<uint32_t> positions;
    for (uint64_t n = before + 1; n <= before + SLOTS_PER_ROUND; ++n) {
        positions.insert(form->Observer()->Events().columns.at(n).medl_position);
    }
    EXPECT_EQ(positions.size(), SLOTS_PER_ROUND) << "one slot of each node";

    form->findChild<QSlider*>("SlowTrackBar")->setValue(0); // a second a cycle: the step is under way
    before = Slots();
    form->Observer()->findChild<QPushButton*>("StepRoundButton")->click();
    form->StopButtonClick();
    form->findChild<QSlider*>("SlowTrackBar")->setValue(1000);
    EXPECT_LT(Slots(), before + SLOTS_PER_ROUND);
    form->RunButtonClick(); // not cut short by the step that was stopped
    ASSERT_TRUE(WaitUntil([&] { return Slots() > before + 4 * SLOTS_PER_ROUND; }));
    EXPECT_FALSE(form->Thread()->GetPaused());
    ASSERT_TRUE(WaitUntil([this] { return Said("SlotSpeed") != "0 slots/s"; }))
        << "a running cluster closes slots";
    form->StopButtonClick();
    ASSERT_TRUE(WaitUntil([this] { return Said("SlotSpeed") == "0 slots/s"; })) << "a stopped one none";
}

// --- Reasons and the cluster mode ---------------------------------------------------------------------

TEST_F(TeachingTest, TheObserverSaysInOneLineWhyANodeLeftAndShowsTheClusterMode) {
    EXPECT_EQ(Said("ClusterMode"), "Cluster mode: none yet");
    TraceToCycle(SETTLED_CYCLE);
    form->Observer()->Refresh();
    EXPECT_EQ(Said("ClusterMode"), "Cluster mode 2");
    EXPECT_EQ(Said("LatestReason"), "");
    FaultSpec crash;
    std::string why;
    ASSERT_TRUE(parse_fault("crash node=O1 duration_us=20000", &crash, &why)) << why;
    ASSERT_EQ(form->Thread()->AddFault(crash), 1u);
    TraceToCycle(SETTLED_CYCLE + 2);
    form->Observer()->Refresh();
    auto* list = form->Observer()->findChild<QListWidget*>("Reasons");
    ASSERT_GT(list->count(), 0);
    EXPECT_TRUE(list->item(0)->text().contains(
        QRegularExpression(R"(^\d+\.\d{6} s \(slot \d+\): O1 left (APPLICATION for \w+|the membership): )")))
        << list->item(0)->text().toStdString();
    EXPECT_EQ(Said("LatestReason"), list->item(list->count() - 1)->text());
    for (int i = 0; i < list->count(); ++i) {
        EXPECT_TRUE(list->item(i)->text().contains(": O1 left")) << "only the node that crashed left";
    }
}

// --- Back -----------------------------------------------------------------------------------------------

TEST_F(TeachingTest, BackBeforeTheFaultReplaysTheRunSoItGoesOnIdenticallyAndLogsNothingTwice) {
    TraceToCycle(SETTLED_CYCLE);
    FaultSpec crash;
    std::string why;
    ASSERT_TRUE(parse_fault("crash node=M2 duration_us=1000", &crash, &why)) << why;
    ASSERT_EQ(form->Thread()->AddFault(crash), 1u);
    TraceToCycle(SETTLED_CYCLE + 2);
    form->InjectNowClick(); // a bit of O1's memory too: the last injection
    const double injected_at = form->Thread()->GetSimTime();
    TraceToCycle(SETTLED_CYCLE + 6);
    const std::vector<uint32_t> then = Interfaces();
    const double then_us = form->Thread()->GetSimTime();
    const uint64_t slots_then = Slots();
    const std::vector<InjectionRecord> rows = form->Thread()->RunRows();
    ASSERT_GE(rows.size(), 3u) << "added, what the crash did, the bit";

    form->Observer()->findChild<QPushButton*>("BackBeforeFault")->click();
    // A model built anew (the new thread may stand where the old one stood in memory) and gone back.
    ASSERT_LT(form->Thread()->GetSimTime(), then_us);
    ASSERT_TRUE(Still());
    EXPECT_LT(form->Thread()->GetSimTime(), injected_at) << "stopped before the bit flipped";
    EXPECT_GE(form->Thread()->GetSimTime(), injected_at - 2 * SLOT_US - 1.0) << "in the slot before it";
    EXPECT_FALSE(form->Thread()->RunsUnpaced()) << "Run goes on at the window's pace";
    EXPECT_EQ(form->Thread()->ReplayFailure(), "");
    TraceToCycle(SETTLED_CYCLE + 6);
    EXPECT_EQ(form->Thread()->GetSimTime(), then_us);
    EXPECT_TRUE(Interfaces() == then) << "the same run, to the bit";
    EXPECT_EQ(Slots(), slots_then);
    std::vector<InjectionRecord> logged;
    ASSERT_TRUE(read_injection_csv(options.injection_log, &logged, &why)) << why;
    EXPECT_EQ(logged.size(), rows.size()) << "the replayed rows are not written again";

    // Back to the start, and a fault of its own there: the run leaves the replay and goes on with it.
    form->Observer()->findChild<QSpinBox*>("BackSlot")->setValue(1);
    form->Observer()->findChild<QPushButton*>("BackButton")->click();
    EXPECT_EQ(form->Thread()->GetSimTime(), 0.0);
    form->InjectNowClick();
    TraceToCycle(SETTLED_CYCLE + 6);
    EXPECT_EQ(form->Thread()->ReplayFailure(), "");
    const std::vector<InjectionRecord> own = form->Thread()->RunRows();
    ASSERT_EQ(own.size(), 1u) << "the crash and the later bit were forgotten";
    EXPECT_EQ(own[0].step, 0u);
}

TEST_F(TeachingTest, AReplayedLogOpensStoppedJustBeforeItsInjectionAndRunGoesOnWithIt) {
    TraceToCycle(SETTLED_CYCLE);
    form->InjectNowClick();
    TraceToCycle(SETTLED_CYCLE + 1);
    WindowReplay replay;
    std::string why;
    ASSERT_TRUE(read_window_replay(options.injection_log, &replay, &why)) << why;
    ASSERT_EQ(replay.rows.size(), 1u);
    const InjectionRecord row = replay.rows[0];
    options.replay = replay.rows;
    options.stop_before_step = replay.stop_before_step;
    options.injection_log = "";
    Build();
    form->Thread()->Run(); // as the program does
    ASSERT_TRUE(Still());
    const auto word = [this, &row] {
        return form->Thread()->WithModelLocked(
            [&] { return cni_words(form->Thread()->GetCluster().controllers[NODE_O1]->cni)[row.word]; });
    };
    EXPECT_EQ(form->Thread()->WithModelLocked([] { return step_count(); }), row.step);
    EXPECT_EQ(word(), row.before) << "just before the injection";
    EXPECT_TRUE(form->Thread()->RunRows().empty());
    form->Thread()->TraceStep(true);
    const std::vector<InjectionRecord> done = form->Thread()->RunRows();
    ASSERT_EQ(done.size(), 1u) << "Run goes on with it";
    EXPECT_EQ(injection_log_row(done[0]), injection_log_row(row));
    EXPECT_EQ(form->Thread()->ReplayFailure(), "");
}

// --- Fast -----------------------------------------------------------------------------------------------

TEST_F(TeachingTest, FastRunsUnpacedWhateverTheSliderFollowsRewindAndEndsWithTheObserver) {
    form->findChild<QSlider*>("SlowTrackBar")->setValue(0); // a second of sleep per pacing cycle
    auto* fast = form->Observer()->findChild<QCheckBox*>("FastMode");
    fast->setChecked(true);
    EXPECT_TRUE(form->Thread()->GetUnpaced());
    form->RunButtonClick();
    EXPECT_TRUE(WaitUntil([this] { return form->Thread()->GetSimTime() > LESSON_END_US; }))
        << "paced, a second per event would take days";
    form->StopButtonClick();
    SineSnapshot s;
    form->Thread()->ReadSnapshot(&s);
    EXPECT_EQ(s.sim_time, form->Thread()->GetSimTime()) << "the snapshot is current once stopped";

    form->findChild<QPushButton*>("RewindButton")->click();
    form->Observer()->Refresh();
    EXPECT_TRUE(form->Thread()->GetUnpaced()) << "handed to the new model";
    form->Observer()->close();
    EXPECT_FALSE(form->Thread()->GetUnpaced()) << "no window shows it any more";
}

} // namespace
