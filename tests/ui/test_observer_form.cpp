// The observer window, offscreen, on a replayed injection log whose one fault switches O1's controller
// off: the counters, the timeline's cells across the freeze, the injection row, "Stop on effect", the
// saved picture and events, a trace the observer leaves as it was, and no hang with the observer open.
// Under a stream of faults at the highest rate: a table that only gains its new rows, one marker per slot,
// nothing painted while stopped, and stops on effect that keep coming. The main window's worst states of
// a guardian failure and a freeze between two refreshes, and the logs' sizes in both windows.
#include "ui/log_directory.h"
#include "ui/main_form.h"
#include "ui/observer_form.h"
#include "ui/panel_widgets.h"
#include "ui/slot_timeline.h"
#include "wait_until.h"

#include "cli/runner.h"
#include "kernel/trace.h"
#include "ttpc/fp1busg.h"

#include <QCheckBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QScrollBar>
#include <QSignalSpy>
#include <QSlider>
#include <QTableView>
#include <QTableWidget>
#include <QTest>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr uint32_t FAULT_CYCLE = 30; // the fault strikes once the cluster has run this long
constexpr uint32_t SETTLED_CYCLE = 45;
constexpr int CYCLE_BOUND = 2000000; // pacing cycles before a trace counts as stuck
constexpr uint32_t CONTROLLER_ON_WORD = 218;
constexpr uint32_t QUIET_CYCLE = 20; // the cluster runs in its application mode, before the replayed fault
constexpr int BURST_INJECTIONS = 5000;
constexpr QRgb MARKER_RED = 0xD01010;
constexpr int EFFECT_STOPS = 8;
constexpr double FAILURE_SPAN_US = 3000.0; // longer than a guardian's Node Failure and the restart after it

/// Counts the paint events of a widget.
class PaintCounter : public QObject {
  public:
    int paints = 0;

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        paints += event->type() == QEvent::Paint ? 1 : 0;
        return QObject::eventFilter(watched, event);
    }
};

std::vector<std::string> Lines(const fs::path& file) {
    std::ifstream in(file);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

class ObserverFormTest : public ::testing::Test {
  protected:
    fs::path dir;
    SineThreadOptions options;
    std::unique_ptr<TMainForm> form;

    /// Writes the injection log with the runner: one flip of O1's controller_on once FAULT_CYCLE cycles ran.
    void SetUp() override {
        dir = fs::temp_directory_path() / (std::string("pelorin-observer-") +
                                           ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir);
        fs::create_directories(dir);
        RunOptions run;
        run.directory = PELORIN_DEFAULT_DATA_DIR;
        run.trace = false;
        run.cycles = FAULT_CYCLE + 1;
        run.injection_log = (dir / "freeze.csv").string();
        bool done = false;
        run.hooks.before_step = [&](ClusterRun& r) {
            if (!done && r.cluster.apps[NODE_O2].os->cycle_count >= FAULT_CYCLE) {
                done = inject_bit(r.cluster.fault_injector, CONTROLLER_ON_WORD, 0, FAULT_FLIP, SOURCE_NOW);
            }
        };
        ASSERT_EQ(run_simulation(run).end, RunEnd::COMPLETED);
        std::string why;
        ASSERT_TRUE(read_injection_csv(run.injection_log, &options.replay, &why)) << why;
        ASSERT_EQ(options.replay.size(), 1u);
        options.directory = PELORIN_DEFAULT_DATA_DIR;
        options.trace_file = "";
        options.injection_log = "";
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
    TObserverForm* Open() {
        form->activateWindow();
        EXPECT_TRUE(QTest::qWaitForWindowActive(form.get()));
        QTest::keyClick(form.get(), Qt::Key_F2);
        EXPECT_NE(form->Observer(), nullptr);
        return form->Observer();
    }
    uint32_t Cycles() const {
        SineSnapshot s;
        form->Thread()->ReadSnapshot(&s);
        return s.cluster_cycles;
    }
    /// Runs f() on the model between two steps; unlike ReadSnapshot it leaves the worst states gathering.
    template <class F>
    decltype(auto) Model(F&& f) {
        return form->Thread()->WithModelLocked([&] { return f(form->Thread()->GetCluster()); });
    }
    /// Traces pacing cycles until `done` holds on the model; false after a bound.
    bool TraceUntil(const std::function<bool(const Cluster&)>& done) {
        for (int cycle = 0; cycle < CYCLE_BOUND; ++cycle) {
            if (Model(done)) {
                return true;
            }
            form->Thread()->TraceStep(true);
        }
        return false;
    }
    void FaultsAtTheHighestRate() {
        form->Thread()->SetFaultEffect(FAULT_FLIP);
        form->Thread()->SetFaultTarget(TARGET_CNI);
        form->Thread()->SetFaultRate(MAX_FAULT_RATE_PER_S);
    }
    QString Caption(const char* name) const { return form->findChild<QLabel*>(name)->text(); }
    void TraceToCycle(uint32_t cycles) {
        while (Cycles() < cycles) {
            form->Thread()->TraceStep(true);
        }
    }
    QString Counter(const QString& row, unsigned node) const {
        auto* table = form->Observer()->findChild<QTableWidget*>("Counters");
        for (int r = 0; r < table->rowCount(); ++r) {
            if (table->verticalHeaderItem(r)->text() == row) {
                return table->item(r, static_cast<int>(node))->text();
            }
        }
        return "no such row";
    }
    static const SlotCell& O1(const SlotEventsCopy& events, uint64_t slot) {
        return events.columns.at(slot).cells[NODE_O1];
    }
    /// The slot with the injection, and the first in which O1 was frozen.
    static std::pair<uint64_t, uint64_t> InjectedAndFrozen(const SlotEventsCopy& events) {
        uint64_t injected = events.columns.first();
        while (O1(events, injected).injections == 0) {
            injected += 1;
        }
        uint64_t frozen = injected;
        while (O1(events, frozen).worst != PS_FREEZE) {
            frozen += 1;
        }
        return {injected, frozen};
    }
};

TEST_F(ObserverFormTest, TheFreezeOfO1ShowsInCountersTimelineAndInjections) {
    Build();
    const QRect button = form->findChild<QWidget*>("ObserverButton")->geometry();
    for (QWidget* child : form->findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly)) {
        EXPECT_TRUE(child->objectName() == "ObserverButton" || !child->geometry().intersects(button))
            << "the button sits in free space, clear of " << child->objectName().toStdString();
    }
    TObserverForm* observer = Open();
    TraceToCycle(SETTLED_CYCLE);
    observer->Refresh();

    EXPECT_EQ(Counter("Freezes", NODE_O1), "1");
    EXPECT_EQ(Counter("Controller starts", NODE_O1), "2") << "one start more than the others";
    EXPECT_EQ(Counter("Controller starts", NODE_M1), "1");
    EXPECT_EQ(Counter("Left membership", NODE_O1), "1");
    EXPECT_EQ(Counter("Re-entered membership", NODE_O1), "1");
    EXPECT_EQ(Counter("Freezes", NODE_O2), "0");
    EXPECT_EQ(Counter("Worst state", NODE_O1), "Freeze");

    // O1 across the freeze, from the slot of the injection: still Application, frozen for four slots
    // until its host restarts it, listening, passive once integrated, back sending in its own slot.
    const SlotEventsCopy& events = observer->Events();
    const uint64_t injected = InjectedAndFrozen(events).first;
    std::string states;
    for (uint64_t s = injected; s <= injected + 10; ++s) {
        states += state_name(O1(events, s).state)[0];
    }
    EXPECT_EQ(states, "AFFFFLLPPPA");
    EXPECT_NE(O1(events, injected + 10).sent, 0);
    auto* scroll = observer->findChild<QScrollBar*>("TimelineScroll");
    scroll->setValue(static_cast<int>(injected - 2 - events.columns.first()));
    TSlotTimeline* timeline = observer->Timeline();
    const QImage picture = timeline->grab().toImage();
    for (uint64_t s = injected - 1; s <= injected + 10; ++s) {
        const QRect cell = timeline->CellRect(s, NODE_O1);
        ASSERT_FALSE(cell.isEmpty()) << "slot " << s << " is shown";
        EXPECT_EQ(picture.pixel(cell.topLeft() + QPoint(1, 2)) & 0xFFFFFF,
                  protocol_state_display(O1(events, s).state).colour)
            << "slot " << s;
    }
    EXPECT_EQ(
        picture.pixel(timeline->CellRect(injected + 10, NODE_O1).bottomLeft() + QPoint(1, -1)) & 0xFFFFFF, 0u)
        << "the sent bar";
    EXPECT_GE(timeline->InjectionMarker(1).x(), timeline->CellRect(injected, NODE_O1).left());
    EXPECT_NE(timeline->DetailsAt(timeline->CellRect(injected + 1, NODE_O1).center())
                  .indexOf("state at the end: Freeze"),
              -1);

    EXPECT_EQ(observer->findChild<QLabel*>("InjectionCount")->text(), "Injections: 1");
    const QAbstractItemModel* injections = observer->findChild<QTableView*>("Injections")->model();
    ASSERT_EQ(injections->rowCount(), 1);
    QStringList row;
    for (int c = 0; c < injections->columnCount(); ++c) {
        row << injections->index(0, c).data().toString();
    }
    const auto& r = options.replay[0];
    EXPECT_EQ(row.mid(2).join(','), QString::fromStdString(injection_log_row(r)).section(',', 1))
        << "the row injections.csv has (the time is the replay's own)";
    EXPECT_EQ(row[0], "1");
    EXPECT_EQ(row.indexOf("controller_on"), 6);
}

TEST_F(ObserverFormTest, StopOnEffectStopsAtTheEndOfTheSlotWithTheEffect) {
    Build();
    TObserverForm* observer = Open();
    TraceToCycle(20); // past the start-up, where every slot changes membership
    observer->findChild<QCheckBox*>("StopOnEffect")->setChecked(true);
    form->RunButtonClick();
    ASSERT_TRUE(
        WaitUntil([&] { return observer->Events().effect_stops == 1 && form->Thread()->IsParked(); }));
    observer->Refresh();
    const SlotEventsCopy& events = observer->Events();
    const uint64_t frozen = InjectedAndFrozen(events).second;
    EXPECT_EQ(events.effect_column, frozen) << "the first slot in which O1 left APPLICATION";
    EXPECT_EQ(events.columns.total, frozen) << "no later slot ended";
    const SlotColumn& stopped = events.columns.at(frozen);
    EXPECT_GE(events.sim_time, stopped.end_us - SLOT_EDGE_US);
    EXPECT_LT(events.sim_time, stopped.end_us + SLOT_EDGE_US);
    EXPECT_NE(observer->findChild<QLabel*>("EffectLabel")->text().indexOf("O1 left Application (Freeze)"),
              -1);

    // Trace steps on; Run goes on to the next effect: O1's silent slot, in which the others drop it.
    form->TraceButtonClick();
    form->RunButtonClick();
    ASSERT_TRUE(
        WaitUntil([&] { return observer->Events().effect_stops == 2 && form->Thread()->IsParked(); }));
    observer->Refresh();
    const SlotColumn& next = events.columns.at(events.effect_column);
    EXPECT_GT(events.effect_column, frozen);
    EXPECT_NE(next.flags & COLUMN_MEMBERSHIP_CHANGED, 0);
    EXPECT_EQ(next.cells[NODE_M1].membership & (1u << NODE_O1), 0u);
}

TEST_F(ObserverFormTest, SavesThePictureAndTheSameEventsAsTheRunner) {
    Build();
    TObserverForm* observer = Open();
    TraceToCycle(SETTLED_CYCLE);
    observer->Refresh();
    QString why;
    ASSERT_TRUE(observer->SavePicture(QString::fromStdString((dir / "t.png").string()), &why))
        << why.toStdString();
    ASSERT_TRUE(observer->SavePicture(QString::fromStdString((dir / "t.svg").string()), &why))
        << why.toStdString();
    EXPECT_EQ(QImage(QString::fromStdString((dir / "t.png").string())).size(), observer->Timeline()->size());
    EXPECT_NE(Lines(dir / "t.svg").size(), 0u);
    ASSERT_TRUE(observer->SaveEvents(QString::fromStdString((dir / "window.csv").string()), &why));

    RunOptions run;
    run.directory = PELORIN_DEFAULT_DATA_DIR;
    run.trace = false;
    run.cycles = SETTLED_CYCLE + 5;
    run.replay = options.replay;
    run.slot_events = (dir / "runner.csv").string();
    ASSERT_EQ(run_simulation(run).end, RunEnd::COMPLETED);
    const std::vector<std::string> window = Lines(dir / "window.csv");
    const std::vector<std::string> runner = Lines(dir / "runner.csv");
    ASSERT_GT(window.size(), 1000u);
    ASSERT_LE(window.size(), runner.size());
    EXPECT_TRUE(std::equal(window.begin(), window.end(), runner.begin())) << "the same slots, row for row";
}

TEST_F(ObserverFormTest, TheObserverOpenOrClosedAtAnySpeedLeavesTheTraceAsItWas) {
    for (int slider : {1000, 900}) {
        trace_fingerprint_start();
        Build();
        TObserverForm* observer = Open();
        form->findChild<QSlider*>("SlowTrackBar")->setValue(slider);
        form->RunButtonClick();
        const auto steps = [&] { return form->Thread()->WithModelLocked([] { return step_count(); }); };
        ASSERT_TRUE(WaitUntil([&] { return steps() > 20000 && observer->Events().columns.total > 0; }));
        form->StopButtonClick();
        const uint64_t events = steps();
        const uint64_t fingerprint = trace_fingerprint();
        form.reset();
        trace_fingerprint_stop();

        RunOptions run;
        run.directory = PELORIN_DEFAULT_DATA_DIR;
        run.trace = false;
        run.fingerprint = true;
        run.cycles = 1000000;
        run.replay = options.replay;
        run.hooks.after_step = [&](ClusterRun&) { return step_count() < events; };
        const RunSummary headless = run_simulation(run);
        EXPECT_EQ(headless.events, events) << "slider " << slider;
        EXPECT_EQ(headless.trace_fingerprint, fingerprint) << "slider " << slider;
    }
}

TEST_F(ObserverFormTest, ClosingRewindStopAndTraceNeverHangWithTheObserverOpen) {
    Build();
    TObserverForm* observer = Open();
    TraceToCycle(20);
    observer->findChild<QCheckBox*>("StopOnEffect")->setChecked(true);
    form->RunButtonClick();
    form->StopButtonClick();
    form->TraceButtonClick();
    form->RunButtonClick();
    const uint64_t model = observer->Events().model;
    form->RestartButtonClick();
    ASSERT_TRUE(WaitUntil([&] { return observer->Events().model != model; }))
        << "the observer follows Rewind";
    EXPECT_LT(observer->Events().columns.total, 8u);
    form->RunButtonClick();
    ASSERT_TRUE(
        WaitUntil([&] { return observer->Events().columns.total > 100 || form->Thread()->IsParked(); }));
    observer->close();
    ASSERT_TRUE(WaitUntil([&] { return form->Observer() == nullptr; })) << "closed and gone";
    form->RunButtonClick();
    observer = Open();
    ASSERT_TRUE(WaitUntil([&] { return observer->Events().columns.total > 0; }));
    EXPECT_FALSE(observer->findChild<QCheckBox*>("StopOnEffect")->isChecked()) << "remembers nothing";
    form->close(); // while running, with the observer open
    EXPECT_FALSE(form->Observer() != nullptr && form->Observer()->isVisible());
    form.reset();
}

// --- Under a stream of faults -----------------------------------------------------------------------------

TEST_F(ObserverFormTest, TheInjectionTableOnlyGainsItsNewRowsAndNeverMeasuresThemAgain) {
    Build();
    TObserverForm* observer = Open();
    TraceToCycle(QUIET_CYCLE);
    const int shown = TObserverForm::INJECTION_ROWS;
    for (int i = 0; i < shown + 50; ++i) {
        form->InjectNowClick();
    }
    observer->Refresh();
    auto* view = observer->findChild<QTableView*>("Injections");
    const QAbstractItemModel* table = view->model();
    ASSERT_EQ(table->rowCount(), shown);
    const auto number = [&](int row) { return table->index(row, 0).data().toString().toInt(); };
    EXPECT_EQ(number(0), shown + 50) << "newest first";

    QSignalSpy inserted(table, &QAbstractItemModel::rowsInserted);
    QSignalSpy removed(table, &QAbstractItemModel::rowsRemoved);
    QSignalSpy changed(table, &QAbstractItemModel::dataChanged);
    QSignalSpy reset(table, &QAbstractItemModel::modelReset);
    QSignalSpy layout(table, &QAbstractItemModel::layoutChanged);
    for (int i = 0; i < 3; ++i) {
        form->InjectNowClick();
    }
    observer->Refresh();
    ASSERT_EQ(inserted.count(), 1);
    EXPECT_EQ(inserted[0][1].toInt(), 0);
    EXPECT_EQ(inserted[0][2].toInt(), 2) << "three rows at the top";
    ASSERT_EQ(removed.count(), 1) << "the three oldest go";
    EXPECT_EQ(changed.count() + reset.count() + layout.count(), 0)
        << "rows shown before are not written again";
    EXPECT_EQ(table->rowCount(), shown);
    EXPECT_EQ(number(0), shown + 53);
    for (int c = 0; c < table->columnCount(); ++c) {
        EXPECT_NE(view->horizontalHeader()->sectionResizeMode(c), QHeaderView::ResizeToContents)
            << "column " << c << " is not measured at every refresh";
    }
}

TEST_F(ObserverFormTest, AfterABurstAtTheHighestRateEachSlotHasOneMarkerAndAStoppedRunPaintsNothing) {
    options.replay.clear(); // the replayed fault would find another run
    Build();
    TObserverForm* observer = Open();
    TraceToCycle(QUIET_CYCLE);
    FaultsAtTheHighestRate();
    form->RunButtonClick();
    ASSERT_TRUE(WaitUntil([&] { return observer->Events().injections.total > BURST_INJECTIONS; }));
    form->StopButtonClick();
    observer->Refresh();
    QTest::qWait(TObserverForm::REFRESH_MS / 4); // the paint the refresh asked for

    // Along a line through the markers, no run of marker red is as wide as a slot: one marker per slot,
    // however many injections it holds, not a red block.
    const SlotEventsCopy& events = observer->Events();
    TSlotTimeline* timeline = observer->Timeline();
    const uint64_t busy = events.columns.total; // the newest slot, shown
    ASSERT_GT(events.columns.at(busy).cells[NODE_O1].injections, 1u);
    const SlotCell& cell = events.columns.at(busy).cells[NODE_O1];
    const QPoint marker = timeline->InjectionMarker(cell.first_injection);
    ASSERT_GE(marker.x(), 0);
    const QImage picture = timeline->grab().toImage();
    const int line = marker.y() - TSlotTimeline::CELL_WIDTH / 3; // across the triangles' wide part
    int run = 0;
    int longest = 0;
    int markers = 0;
    for (int x = 0; x < picture.width(); ++x) {
        const bool red = (picture.pixel(x, line) & 0xFFFFFF) == MARKER_RED;
        markers += red && run == 0 ? 1 : 0;
        run = red ? run + 1 : 0;
        longest = std::max(longest, run);
    }
    EXPECT_GT(markers, 1);
    EXPECT_LT(longest, TSlotTimeline::CELL_WIDTH);
    EXPECT_EQ(timeline->InjectionMarker(cell.first_injection + cell.injections - 1), marker)
        << "the slot's last injection shares its marker";
    const QString details = timeline->DetailsAt(marker);
    EXPECT_NE(details.indexOf(QString("%1 injections in slot %2").arg(cell.injections).arg(busy)), -1)
        << details.toStdString();
    EXPECT_LE(details.count('\n'), 12) << "a hover lists a few, then says how many more";
    EXPECT_LE(timeline->DetailsAt(timeline->CellRect(busy, NODE_O1).center()).count('\n'), 20);

    // Stopped, the refreshes find nothing new and paint nothing.
    PaintCounter counter;
    timeline->installEventFilter(&counter);
    QTest::qWait(3 * TObserverForm::REFRESH_MS);
    timeline->removeEventFilter(&counter);
    EXPECT_EQ(counter.paints, 0);
}

TEST_F(ObserverFormTest, StopOnEffectKeepsStoppingAtTheHighestRateAndRunClearsWhereItStopped) {
    options.replay.clear(); // the replayed fault would find another run
    Build();
    TObserverForm* observer = Open();
    TraceToCycle(QUIET_CYCLE);
    observer->findChild<QCheckBox*>("StopOnEffect")->setChecked(true);
    FaultsAtTheHighestRate();
    auto* label = observer->findChild<QLabel*>("EffectLabel");
    for (uint64_t stop = 1; stop <= EFFECT_STOPS; ++stop) {
        form->RunButtonClick();
        EXPECT_EQ(label->text(), "") << "Run clears where the run stopped, before stop " << stop;
        ASSERT_TRUE(WaitUntil([&] {
            return observer->Events().effect_stops == stop && form->Thread()->IsParked();
        })) << "stop "
            << stop << ": O1, out of the cluster, keeps freezing";
        observer->Refresh();
        EXPECT_TRUE(label->text().startsWith("Stopped at the end of slot")) << label->text().toStdString();
    }
}

// --- What the main window holds for one refresh ---------------------------------------------------------

TEST_F(ObserverFormTest, AGuardianFailureAndTheFreezeAfterItShowForOneRefreshThoughOverBeforeIt) {
    Build();
    TraceToCycle(QUIET_CYCLE);
    const auto guardian_state = [](const Cluster& c) {
        return c.controllers[NODE_O1]->bus_guardian->bg_state;
    };
    ASSERT_TRUE(TraceUntil([&](const Cluster& c) { return guardian_state(c) == BG_DISABLE; }));
    form->Refresh();
    // O1's controller moves its trigger while the window is closed, as a corrupted controller would: its
    // guardian fails, the controller freezes on the guardian's error, and its host starts it again, all
    // between two refreshes.
    const double failed_at = Model([](const Cluster& c) {
        BusGuardian* guardian = c.controllers[NODE_O1]->bus_guardian;
        trigger(guardian, guardian->trigger ^ 1u);
        return sim_time();
    });
    ASSERT_TRUE(TraceUntil([&](const Cluster& c) {
        const uint32_t state = get_protocol_state(c.controllers[NODE_O1]);
        return sim_time() > failed_at + FAILURE_SPAN_US && guardian_state(c) != BG_NODE_FAILURE &&
               state != PS_FREEZE && state != PS_INIT;
    }));
    form->Refresh();
    EXPECT_EQ(Caption("BusGuardianLabel3"), "Node Failure");
    EXPECT_EQ(form->findChild<TColourLabel*>("BusGuardianLabel3")->Colour(), RGB_RED);
    EXPECT_EQ(Caption("StateLabel3"), "Freeze");
    EXPECT_EQ(form->findChild<TColourPanel*>("ColourPanel3")->Colour(), RGB_RED);
    EXPECT_EQ(Caption("StateLabel1"), "Application") << "the others were not touched";
    form->Refresh();
    EXPECT_NE(Caption("BusGuardianLabel3"), "Node Failure") << "held for one refresh";
    EXPECT_NE(Caption("StateLabel3"), "Freeze");
}

// --- The logs --------------------------------------------------------------------------------------------

TEST_F(ObserverFormTest, BothWindowsSayHowLargeTheLogsHaveGrown) {
    options.trace_file = (dir / "debug.txt").string();
    options.injection_log = (dir / "injections.csv").string();
    Build();
    TObserverForm* observer = Open();
    TraceToCycle(FAULT_CYCLE + 1); // the replayed injection is logged too
    form->Refresh();
    observer->Refresh();
    const QString trace = QString::fromStdString(options.trace_file + ", " +
                                                 format_byte_size(fs::file_size(options.trace_file)));
    const QString log = QString::fromStdString(options.injection_log + ", " +
                                               format_byte_size(fs::file_size(options.injection_log)));
    const QString status = observer->findChild<QLabel*>("LogSizes")->text();
    EXPECT_NE(status.indexOf(trace), -1) << status.toStdString();
    EXPECT_NE(status.indexOf(log), -1) << status.toStdString();
    EXPECT_NE(status.indexOf("injections.1.csv"), -1) << "where the previous run's log is";
    const QString tip = form->findChild<QLineEdit*>("TimeEdit")->toolTip();
    EXPECT_NE(tip.indexOf(trace), -1) << tip.toStdString();
}

} // namespace
