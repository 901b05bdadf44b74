// Lessons in the window, offscreen: a scenario written by the test is opened; its captions appear in the
// observer as their faults fire, in order, one per firing, and stay in the list; the run stops at the
// lesson's time, or once on what its faults do when the lesson stops on effect; Rewind starts
// the same lesson afresh; a file that cannot be used is refused at its line and leaves the run alone.
#include "ui/main_form.h"
#include "ui/observer_form.h"
#include "wait_until.h"

#include "kernel/sim_object.h"

#include <QCheckBox>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QSlider>
#include <QTest>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr double LESSON_END_US = 400000.0;

class LessonTest : public ::testing::Test {
  protected:
    fs::path dir;
    SineThreadOptions options;
    std::unique_ptr<TMainForm> form;

    void SetUp() override {
        dir = fs::temp_directory_path() / (std::string("pelorin-lesson-") +
                                           ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir);
        fs::create_directories(dir);
        options.directory = PELORIN_DEFAULT_DATA_DIR;
        options.trace_file = "";
        options.injection_log = "";
        auto thread = TOrvikThread::Create<TSineWaveThread>(options);
        ASSERT_FALSE(thread->BuildFailed()) << thread->BuildError();
        form = std::make_unique<TMainForm>(options, std::move(thread));
        form->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(form.get()));
        form->findChild<QSlider*>("SlowTrackBar")->setValue(1000);
        form->ObserverClick();
    }
    void TearDown() override {
        form.reset();
        EXPECT_EQ(memory_count(), 0u) << "the model was not disposed of";
        fs::remove_all(dir);
    }
    fs::path Write(const char* name, const std::string& text) const {
        const fs::path file = dir / name;
        std::ofstream(file) << text;
        return file;
    }
    void Open(const fs::path& file) {
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
    /// Runs until the thread stops itself; false after a bound.
    bool RunUntilItStops() {
        form->RunButtonClick();
        return WaitUntil([this] { return form->Thread()->GetPaused() && form->Thread()->IsParked(); }, 60s);
    }
    QString Said(const char* name) const { return form->Observer()->findChild<QLabel*>(name)->text(); }
};

TEST_F(LessonTest, CaptionsAppearAsTheirFaultsFireAndTheRunStopsAtTheLessonsTime) {
    Open(Write("lesson.toml", R"(title = "A crash and a flip"
description = "O2 falls silent for a while; then a bit of O1 flips."
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
)"));
    EXPECT_TRUE(Said("LessonTitle").contains("A crash and a flip"));
    EXPECT_TRUE(Captions().isEmpty());
    ASSERT_TRUE(RunUntilItStops());
    const double stopped = form->Thread()->GetSimTime();
    EXPECT_LE(stopped, LESSON_END_US);
    EXPECT_GT(stopped, LESSON_END_US - 1000.0) << "it stops at the last event before the lesson's end";
    ASSERT_TRUE(WaitUntil([this] { return Captions().size() >= 2; }));
    EXPECT_EQ(Captions(), (QStringList{"0.250000 s: O2's controller falls silent.",
                                       "0.300000 s: A bit flips in M1 and O1."}))
        << "one line per firing, though the flip changed a bit in two nodes; none for a fault without one";
    EXPECT_EQ(Said("LatestCaption"), "0.300000 s: A bit flips in M1 and O1.");
    EXPECT_TRUE(Said("EffectLabel").contains("where the lesson ends"));

    // Run goes on past the lesson's end; it stops there only once.
    form->RunButtonClick();
    ASSERT_TRUE(WaitUntil([this] { return form->Thread()->GetSimTime() > LESSON_END_US + 50000.0; }));
    form->StopButtonClick();

    // Rewind starts the same lesson again, with its captions to come.
    form->findChild<QPushButton*>("RewindButton")->click();
    form->Observer()->Refresh();
    EXPECT_TRUE(Captions().isEmpty());
    EXPECT_EQ(Said("LatestCaption"), "");
    ASSERT_TRUE(RunUntilItStops());
    EXPECT_LE(form->Thread()->GetSimTime(), LESSON_END_US);
    ASSERT_TRUE(WaitUntil([this] { return Captions().size() == 2; }));
}

TEST_F(LessonTest, ALessonThatStopsOnEffectStopsOnceAtWhatItsFaultDidNotAtTheStartUp) {
    auto* box = form->Observer()->findChild<QCheckBox*>("StopOnEffect");
    ASSERT_NE(box, nullptr);
    EXPECT_FALSE(box->isChecked());
    Open(Write("freeze.toml", R"(title = "A crash"
stop_on_effect = true
[[fault]]
kind = "crash"
node = "O1"
at_us = 300000
caption = "O1 falls silent."
)"));
    ASSERT_TRUE(RunUntilItStops());
    EXPECT_FALSE(box->isChecked()) << "the window's own choice is left as it was";
    EXPECT_GE(form->Thread()->GetSimTime(), 300000.0);
    ASSERT_TRUE(WaitUntil([this] { return Said("EffectLabel").startsWith("Stopped at the end of slot"); }));
    EXPECT_EQ(Captions(), QStringList{"0.300000 s: O1 falls silent."});
    EXPECT_TRUE(Said("EffectLabel").contains("a membership vector changed")) << "the others lose O1";

    // Once is enough: the membership changes that follow do not stop the run again.
    const double stopped = form->Thread()->GetSimTime();
    form->RunButtonClick();
    ASSERT_TRUE(WaitUntil([&] { return form->Thread()->GetSimTime() > stopped + 200000.0; }));
    EXPECT_FALSE(form->Thread()->GetPaused());
    form->StopButtonClick();
}

TEST_F(LessonTest, OpenScenarioStartsAmongTheBundledLessonsAndEachOfThemOpens) {
    const fs::path lessons = fs::path(PELORIN_DEFAULT_DATA_DIR) / "scenarios";
    EXPECT_EQ(form->ScenarioDirectory().toStdString(), lessons.string());
    int opened = 0;
    for (const auto& entry : fs::directory_iterator(lessons)) {
        if (entry.path().extension() != ".toml") {
            continue;
        }
        Open(entry.path());
        EXPECT_EQ(form->Thread()->Options().lesson.faults.empty(), false) << entry.path();
        EXPECT_FALSE(Said("LessonTitle").startsWith("No lesson")) << entry.path();
        opened += 1;
    }
    EXPECT_GT(opened, 0);
}

TEST_F(LessonTest, AFileThatCannotBeUsedIsRefusedAtItsLineAndTheRunGoesOnAsItWas) {
    TSineWaveThread* before = form->Thread();
    const fs::path file = Write("bad.toml", "title = \"Bad\"\n[[fault]]\nkind = \"crash\"\nnode = \"X9\"\n");
    QString why;
    EXPECT_FALSE(form->OpenScenario(QString::fromStdString(file.string()), &why));
    EXPECT_TRUE(why.startsWith(QString::fromStdString(file.string() + ":4: node:"))) << why.toStdString();
    EXPECT_EQ(form->Thread(), before) << "no new model";
    EXPECT_TRUE(form->Thread()->Options().lesson.title.empty());
}

} // namespace
