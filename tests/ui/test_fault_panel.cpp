// The fault panel, offscreen, on a running cluster: it opens with F3 from both windows; every kind can be
// chosen and injected with the keys it needs; a memory fault hits the named field and bit of the nodes
// chosen, is logged with its added row, and a replay of that log does the same again; what the fault
// readers refuse the panel refuses with their words and adds nothing.
#include "ui/fault_panel.h"
#include "ui/main_form.h"
#include "ui/observer_form.h"
#include "wait_until.h"

#include "host/fault_plan.h"
#include "host/sa1fault.h"
#include "kernel/sim_object.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSlider>
#include <QSpinBox>
#include <QTest>

#include <gtest/gtest.h>

#include <filesystem>

namespace {

namespace fs = std::filesystem;

constexpr uint32_t SETTLED_CYCLE = 5; // the cluster runs in its application mode
constexpr int CYCLE_BOUND = 2000000;  // pacing cycles before a trace counts as stuck

class FaultPanelTest : public ::testing::Test {
  protected:
    fs::path dir;
    SineThreadOptions options;
    std::unique_ptr<TMainForm> form;

    void SetUp() override {
        dir = fs::temp_directory_path() / (std::string("pelorin-panel-") +
                                           ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir);
        fs::create_directories(dir);
        options.directory = PELORIN_DEFAULT_DATA_DIR;
        options.trace_file = "";
        options.injection_log = (dir / "injections.csv").string();
    }
    void TearDown() override {
        form.reset();
        EXPECT_EQ(memory_count(), 0u) << "the model was not disposed of";
        fs::remove_all(dir);
    }
    void Build() {
        auto thread = TOrvikThread::Create<TSineWaveThread>(options);
        ASSERT_FALSE(thread->BuildFailed()) << thread->BuildError();
        form = std::make_unique<TMainForm>(options, std::move(thread));
        form->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(form.get()));
        form->findChild<QSlider*>("SlowTrackBar")->setValue(1000);
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
    TFaultPanel* Open() {
        form->activateWindow();
        EXPECT_TRUE(QTest::qWaitForWindowActive(form.get()));
        QTest::keyClick(form.get(), Qt::Key_F3);
        EXPECT_NE(form->FaultPanel(), nullptr);
        return form->FaultPanel();
    }
    template <class T>
    T* In(TFaultPanel* panel, const char* name) const {
        T* widget = panel->findChild<T*>(name);
        EXPECT_NE(widget, nullptr) << name;
        return widget;
    }
    /// The rows of the injection log written so far.
    std::vector<InjectionRecord> Logged() const {
        std::vector<InjectionRecord> rows;
        std::string why;
        EXPECT_TRUE(read_injection_csv(options.injection_log, &rows, &why)) << why;
        return rows;
    }
    /// Every word of the four interfaces.
    std::vector<uint32_t> Interfaces() {
        return form->Thread()->WithModelLocked([this] {
            std::vector<uint32_t> words;
            for (TtpController* c : form->Thread()->GetCluster().controllers) {
                words.insert(words.end(), cni_words(c->cni), cni_words(c->cni) + CNI_WORD_COUNT);
            }
            return words;
        });
    }
};

TEST_F(FaultPanelTest, OpensWithF3FromTheMainWindowAndFromTheObserver) {
    Build();
    TFaultPanel* panel = Open();
    ASSERT_NE(panel, nullptr);
    EXPECT_TRUE(panel->isVisible());
    panel->close();
    ASSERT_TRUE(WaitUntil([&] { return form->FaultPanel() == nullptr; }));

    form->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(form.get()));
    QTest::keyClick(form.get(), Qt::Key_F2);
    ASSERT_NE(form->Observer(), nullptr);
    form->Observer()->findChild<QPushButton*>("FaultPanelButton")->click();
    ASSERT_NE(form->FaultPanel(), nullptr);
    EXPECT_TRUE(form->FaultPanel()->isVisible());
}

// The keys each kind needs are on the panel: with them filled in, every kind is accepted and added to the
// run, and its added row in the log holds what the panel's text showed.
TEST_F(FaultPanelTest, EveryKindIsInjectedWithTheKeysItNeeds) {
    Build();
    TraceToCycle(SETTLED_CYCLE);
    TFaultPanel* panel = Open();
    auto* kind = In<QComboBox>(panel, "Kind");
    ASSERT_EQ(kind->count(), static_cast<int>(FAULT_KIND_COUNT));
    In<QCheckBox>(panel, "ReceiverM2")->setChecked(true);
    In<QLineEdit>(panel, "rate")->setText("100");
    In<QLineEdit>(panel, "ber")->setText("0.001");
    In<QLineEdit>(panel, "offset_us")->setText("2");
    In<QLineEdit>(panel, "jump")->setText("3");
    std::vector<std::string> texts;
    for (unsigned k = 0; k < FAULT_KIND_COUNT; ++k) {
        kind->setCurrentIndex(static_cast<int>(k));
        // A blackout needs its length; the others keep their default one.
        In<QLineEdit>(panel, "duration_us")->setText(k == unsigned(FaultKind::BLACKOUT) ? "500" : "");
        const std::string text = In<QLineEdit>(panel, "FaultText")->text().toStdString();
        EXPECT_EQ(panel->InjectNow(), k + 1) << fault_kind_name(FaultKind(k)) << ": "
                                             << In<QLabel>(panel, "PanelResult")->text().toStdString();
        texts.push_back(text);
    }
    form->Thread()->TraceStep(true);
    std::vector<std::string> added;
    for (const InjectionRecord& row : Logged()) {
        if (row.action == ROW_ADDED) {
            added.push_back(row.detail);
        }
    }
    EXPECT_EQ(added, texts);
    EXPECT_EQ(texts[0], "memory node=O1") << "a random field and bit by default, on O1 as the injector";
}

// A memory fault on a named field and bit strikes that bit of each node chosen, and only it; the log
// it leaves replays to the same interfaces.
TEST_F(FaultPanelTest, ANamedFieldAndBitFlipThatBitOfTheNodesChosenAndTheLogReplaysIt) {
    Build();
    TraceToCycle(SETTLED_CYCLE);
    TFaultPanel* panel = Open();
    auto* field = In<QComboBox>(panel, "Field");
    ASSERT_EQ(field->itemText(0), "random");
    EXPECT_FALSE(In<QSpinBox>(panel, "Bit")->isEnabled()) << "a random field's bit is drawn";
    // The first field by name with a meaningful bit above bit 0.
    const uint32_t* mask = cni_fault_mask();
    uint32_t word = 0;
    int chosen = -1;
    for (int i = 1; i < field->count() && chosen < 0; ++i) {
        ASSERT_TRUE(fault_word_by_name(TARGET_CNI, field->itemText(i).toStdString(), &word));
        chosen = (mask[word] & ~1u) != 0 ? i : -1;
    }
    ASSERT_GE(chosen, 0);
    const int bit = std::countr_zero(mask[word] & ~1u);
    field->setCurrentIndex(chosen);
    In<QSpinBox>(panel, "Bit")->setValue(bit);
    In<QCheckBox>(panel, "NodeM2")->setChecked(true);

    const std::vector<uint32_t> before = Interfaces();
    ASSERT_EQ(panel->InjectNow(), 1u);
    const std::vector<uint32_t> added = Interfaces();
    EXPECT_EQ(added, before) << "the plan's own event makes the fault happen, in the next step";
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
    form.reset();

    std::string why;
    ASSERT_TRUE(read_injection_csv(options.injection_log, &options.replay, &why)) << why;
    ASSERT_GE(options.replay.size(), 3u) << "added, and a bit of each node";
    options.injection_log = "";
    Build();
    TraceToCycle(cycles);
    EXPECT_EQ(Interfaces(), ran_on) << "the replay did what the panel's fault did";
}

TEST_F(FaultPanelTest, WhatTheFaultReadersRefuseIsNotInjectedAndSaysWhy) {
    Build();
    TFaultPanel* panel = Open();
    In<QComboBox>(panel, "Kind")->setCurrentIndex(static_cast<int>(FaultKind::BIT_ERRORS));
    EXPECT_EQ(In<QLineEdit>(panel, "FaultText")->text(), "") << "no text for a fault that is refused";
    EXPECT_EQ(panel->InjectNow(), 0u);
    EXPECT_EQ(In<QLabel>(panel, "PanelResult")->text().toStdString(),
              "Not injected: ber: is needed: the probability that one bit fails");

    In<QComboBox>(panel, "Kind")->setCurrentIndex(static_cast<int>(FaultKind::MEMORY));
    In<QCheckBox>(panel, "NodeO1")->setChecked(false);
    EXPECT_EQ(panel->InjectNow(), 0u);
    EXPECT_EQ(In<QLabel>(panel, "PanelResult")->text().toStdString(),
              "Not injected: node: is needed: the node or nodes the fault strikes");

    In<QCheckBox>(panel, "NodeO1")->setChecked(true);
    In<QComboBox>(panel, "Field")->setEditText("no_such_word");
    EXPECT_EQ(panel->InjectNow(), 0u);
    EXPECT_TRUE(In<QLabel>(panel, "PanelResult")->text().contains("no_such_word")) << "the reader names it";
    form->Thread()->TraceStep(true);
    EXPECT_FALSE(fs::exists(options.injection_log)) << "nothing was logged";
}

} // namespace
