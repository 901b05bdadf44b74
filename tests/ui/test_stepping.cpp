// Stepping from the observer, offscreen: "Step slot" runs on to the end of exactly one more slot and
// "Step round" to the end of one slot of each node, then the run is still; Stop or an effect ends a step
// sooner and leaves no step pending.
#include "ui/main_form.h"
#include "ui/observer_form.h"
#include "wait_until.h"

#include "kernel/sim_object.h"

#include <QCheckBox>
#include <QPushButton>
#include <QSlider>
#include <QTest>

#include <gtest/gtest.h>

#include <set>

namespace {

using namespace std::chrono_literals;

constexpr uint32_t SETTLED_CYCLE = 5;
constexpr int CYCLE_BOUND = 2000000;

class SteppingTest : public ::testing::Test {
  protected:
    std::unique_ptr<TMainForm> form;

    void SetUp() override {
        SineThreadOptions options;
        options.directory = PELORIN_DEFAULT_DATA_DIR;
        options.trace_file = "";
        options.injection_log = "";
        auto thread = TOrvikThread::Create<TSineWaveThread>(options);
        ASSERT_FALSE(thread->BuildFailed()) << thread->BuildError();
        form = std::make_unique<TMainForm>(options, std::move(thread));
        form->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(form.get()));
        form->findChild<QSlider*>("SlowTrackBar")->setValue(1000);
        SineSnapshot s{};
        for (int i = 0; i < CYCLE_BOUND && s.cluster_cycles < SETTLED_CYCLE; ++i) {
            form->Thread()->TraceStep(true);
            form->Thread()->ReadSnapshot(&s);
        }
        ASSERT_GE(s.cluster_cycles, SETTLED_CYCLE);
        form->ObserverClick();
    }
    void TearDown() override {
        form.reset();
        EXPECT_EQ(memory_count(), 0u) << "the model was not disposed of";
    }
    uint64_t Slots() {
        form->Observer()->Refresh();
        return form->Observer()->Events().columns.total;
    }
    bool Still() {
        return WaitUntil([this] { return form->Thread()->GetPaused() && form->Thread()->IsParked(); }, 30s);
    }
    void Click(const char* name) { form->Observer()->findChild<QPushButton*>(name)->click(); }
};

TEST_F(SteppingTest, StepSlotEndsOneSlotAndStepRoundOneSlotOfEachNode) {
    for (int i = 0; i < 3; ++i) {
        const uint64_t before = Slots();
        Click("StepSlotButton");
        ASSERT_TRUE(Still());
        EXPECT_EQ(Slots(), before + 1);
        const SlotColumn& closed = form->Observer()->Events().columns.at(before + 1);
        EXPECT_GE(form->Thread()->GetSimTime(), closed.start_us) << "stopped once that slot had closed";
    }
    const uint64_t before = Slots();
    Click("StepRoundButton");
    ASSERT_TRUE(Still());
    ASSERT_EQ(Slots(), before + SLOTS_PER_ROUND);
    std::set<uint32_t> positions;
    for (uint64_t n = before + 1; n <= before + SLOTS_PER_ROUND; ++n) {
        positions.insert(form->Observer()->Events().columns.at(n).medl_position);
    }
    EXPECT_EQ(positions.size(), SLOTS_PER_ROUND) << "one slot of each node";
}

TEST_F(SteppingTest, AStopBeforeTheSlotsHaveClosedLeavesNoStepPending) {
    form->findChild<QSlider*>("SlowTrackBar")->setValue(0); // a second a cycle: the step is still going on
    const uint64_t before = Slots();
    Click("StepRoundButton");
    form->StopButtonClick();
    form->findChild<QSlider*>("SlowTrackBar")->setValue(1000);
    const uint64_t stopped = Slots();
    EXPECT_LT(stopped, before + SLOTS_PER_ROUND);
    form->RunButtonClick(); // a plain run is not cut short by the step that was stopped
    ASSERT_TRUE(WaitUntil([&] { return Slots() > before + 4 * SLOTS_PER_ROUND; }));
    EXPECT_FALSE(form->Thread()->GetPaused());
    form->StopButtonClick();
}

} // namespace
