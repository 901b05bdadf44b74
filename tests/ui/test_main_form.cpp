// The main window and the About dialog, offscreen: how snapshot values are shown (texts, colours,
// positions, the scene), the controls (run, stop, trace, rewind, the cycle limit, the visualisation
// switches, the fault injector, the hidden access code) and kernel error boxes that must never hold up the
// window. The model is the default configuration at full speed; threads are awaited by bounded waits on a
// condition while the window's events are processed.
#include "ui/about_form.h"
#include "ui/display_format.h"
#include "ui/laser_scene.h"
#include "ui/main_form.h"
#include "ui/panel_widgets.h"
#include "wait_until.h"

#include "kernel/sim_process.h"

#include <QApplication>
#include <QCheckBox>
#include <QDeadlineTimer>
#include <QDesktopServices>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QSlider>
#include <QSpinBox>
#include <QStyle>
#include <QStyleOptionFrame>
#include <QTest>
#include <QTimer>
#include <QWindow>

#include "tests/scratch_directory.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <functional>
#include <limits>
#include <memory>

#ifndef PELORIN_DEFAULT_DATA_DIR
#error "PELORIN_DEFAULT_DATA_DIR must name the data/ directory"
#endif

/// Receives the web addresses the About dialog opens, instead of a browser.
class UrlRecorder : public QObject {
    Q_OBJECT
  public:
    QList<QUrl> opened;
  public slots:
    void open(const QUrl& url) { opened.append(url); }
};

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr float NOT_A_NUMBER = std::numeric_limits<float>::quiet_NaN();
constexpr float INFINITE = std::numeric_limits<float>::infinity();

// --- Formatting rules -----------------------------------------------------------------------------------

TEST(DisplayFormat, SimulatedTimeHasALeadingBlankAndTwoDigitMinutesAndSeconds) {
    EXPECT_EQ(format_sim_time(0.0), " 0:00:00.000000");
    EXPECT_EQ(format_sim_time(3723456789.0), " 1:02:03.456789");
    EXPECT_EQ(format_sim_time(36609999999.0), " 10:10:09.999999");
    EXPECT_EQ(format_sim_time(59999999.6), " 0:01:00.000000") << "rounding carries into the minutes";
}

TEST(DisplayFormat, SpeedDecimalsDependOnItsMagnitude) {
    EXPECT_EQ(format_speed(1234.4), " 1234%");
    EXPECT_EQ(format_speed(10.0), " 10.0%");
    EXPECT_EQ(format_speed(3.14159), " 3.1%");
    EXPECT_EQ(format_speed(1.0), " 1.00%");
    EXPECT_EQ(format_speed(0.1), " 0.100%");
}

TEST(DisplayFormat, NumbersKeepTheirDigits) {
    EXPECT_EQ(format_fixed6(0.5), "0.500000");
    EXPECT_EQ(format_fixed6(1234.56789012), "1234.567890") << "nine significant digits";
    EXPECT_EQ(format_fixed6(-359.9999996), "-360.000000");
    EXPECT_EQ(format_fixed6(1.5e12), "1.50000000E+12");
    EXPECT_EQ(format_fixed6(NOT_A_NUMBER), "NAN");
    EXPECT_EQ(format_general(12345.6787109375), "12345.6787109375");
    EXPECT_EQ(format_node_data(-1.0f), "-1.00");
    EXPECT_EQ(format_node_data(-INFINITE), "");
}

TEST(AccessCodeKeys, WholeCodeInARowIsNeeded) {
    const auto completes = [](const char* keys) {
        AccessCode code(ACCESS_CODE);
        bool done = false;
        for (const char* k = keys; *k != '\0'; ++k) {
            done = code.Feed(*k);
        }
        return done;
    };
    EXPECT_TRUE(completes("QZKXQZKV")) << "three keys, a wrong key, then all four";
    EXPECT_FALSE(completes("QZKQZKV")) << "a wrong Q does not start the code again";
    EXPECT_TRUE(completes("QZKQQZKV")) << "after the wrong Q has reset the count, the next Q starts";
}

TEST(CycleLimit, ZeroIsNoLimit) {
    EXPECT_FALSE(cycle_limit_step(0, 5).stop);
    EXPECT_EQ(cycle_limit_step(10, 4).left, 6);
    EXPECT_EQ(cycle_limit_step(3, 7).left, 0);
    EXPECT_TRUE(cycle_limit_step(3, 7).stop);
}

// --- The laser scene ------------------------------------------------------------------------------------

/// A point on the shot's way from the target (590, 67) to the motor (50, 42), clear of the grid.
constexpr int SHOT_X = 266;
constexpr int SHOT_Y = 42 + (67 - 42) * (SHOT_X - 50) / (590 - 50);
static_assert((67 - 42) * (SHOT_X - 50) % (590 - 50) == 0, "a point exactly on the line");

QRgb Pixel(const QImage& image, int x, int y) {
    return image.pixel(x, y) & 0xFFFFFF;
}

TEST(LaserScene, ShowsTargetLaserAxisAndArm) {
    QImage image = make_scene_image();
    draw_scene(image, 0.25f, false); // the arm stands upright
    EXPECT_EQ(Pixel(image, 300, 90), 0x000000u);
    EXPECT_EQ(Pixel(image, 600, 65), 0x0000FFu) << "target";
    EXPECT_EQ(Pixel(image, 590, 15), 0xFFFF00u) << "laser";
    EXPECT_EQ(Pixel(image, 300, 42), 0x808080u) << "axis";
    EXPECT_EQ(Pixel(image, 160, 70), 0x808080u) << "vertical every 80";
    EXPECT_EQ(Pixel(image, 50, 20), 0xFFFF00u) << "arm";
    EXPECT_EQ(Pixel(image, SHOT_X, SHOT_Y), 0x000000u) << "no shot without a hit";

    draw_scene(image, 0.0f, true); // the arm lies flat; a hit draws the shot
    EXPECT_EQ(Pixel(image, 50, 20), 0x000000u);
    EXPECT_EQ(Pixel(image, 20, 42), 0xFFFF00u);
    EXPECT_EQ(Pixel(image, SHOT_X, SHOT_Y), 0x0000FFu) << "shot from the target to the motor";
}

// --- The main window ------------------------------------------------------------------------------------

class MainFormTest : public ::testing::Test {
  protected:
    fs::path dir;
    std::unique_ptr<TMainForm> form;
    Clock::time_point now = Clock::now();

    void SetUp() override {
        dir = make_scratch_directory("pelorin-form");
        SineThreadOptions options;
        options.directory = PELORIN_DEFAULT_DATA_DIR;
        options.trace_file = "";
        options.injection_log = (dir / "injections.csv").string();
        auto thread = TOrvikThread::Create<TSineWaveThread>(options);
        ASSERT_FALSE(thread->BuildFailed()) << thread->BuildError();
        form = std::make_unique<TMainForm>(options, std::move(thread));
        form->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(form.get()));
    }
    void TearDown() override {
        form.reset();
        EXPECT_EQ(memory_count(), 0u) << "the model was not disposed of";
        fs::remove_all(dir);
    }

    template <class T>
    T* Child(const QString& name) const {
        T* child = form->findChild<T*>(name);
        EXPECT_NE(child, nullptr) << name.toStdString();
        return child;
    }
    QString Text(const QString& edit) const { return Child<QLineEdit>(edit)->text(); }
    QString Caption(const QString& label) const { return Child<QLabel>(label)->text(); }
    TSineWaveThread* Thread() const { return form->Thread(); }
    SineSnapshot Snapshot() const {
        SineSnapshot s;
        Thread()->ReadSnapshot(&s);
        return s;
    }
    void Click(const QString& button) { QTest::mouseClick(Child<QAbstractButton>(button), Qt::LeftButton); }
    void FullSpeed() { Child<QSlider>("SlowTrackBar")->setValue(1000); }
    void Type(const char* keys) {
        for (const char* k = keys; *k != '\0'; ++k) {
            QTest::keyClick(form->windowHandle(), static_cast<Qt::Key>(*k));
        }
    }
    uint32_t Injections() const {
        return Thread()->WithModelLocked(
            [this] { return Thread()->GetCluster().fault_injector->injections; });
    }
    void EmptyTheSequencingSet() {
        Thread()->WithModelLocked([] {
            while (SimProcess* p = calendar()->suc_in_sqs) {
                cancel(p); // every step now fails with code 72
            }
        });
    }
    QMessageBox* ErrorBox() const { return form->findChild<QMessageBox*>("OrvikErrorBox"); }
};

TEST_F(MainFormTest, OpensWithItsLayoutTheSettingsAppliedAndTheCycleLimitHidden) {
    EXPECT_EQ(form->windowTitle(), "TTP/C Cluster - Sine Wave Application");
    EXPECT_EQ(form->minimumSize(), form->maximumSize()) << "fixed size";
    EXPECT_EQ(Child<QWidget>("Graph")->geometry(), QRect(10, 5, 640, 100));
    EXPECT_EQ(Child<QWidget>("Node3")->geometry(), QRect(352, 212, 145, 141));
    EXPECT_EQ(form->findChildren<QLabel*>(QRegularExpression("^DataLabel4_")).size(), 2) << "O2: one column";
    EXPECT_EQ(form->findChildren<QLabel*>(QRegularExpression("^DataLabel1_")).size(), 6);
    EXPECT_TRUE(Child<QSpinBox>("CCLimit")->isHidden());
    EXPECT_EQ(Text("TimeEdit"), " 0:00:00.000000") << "refreshed once";
    EXPECT_DOUBLE_EQ(Thread()->GetSleepPerCycle(), 31.25) << "the slider at 500";
}

TEST_F(MainFormTest, RefreshShowsTextsColoursAndPositionsOfTheSnapshot) {
    SineSnapshot s{};
    s.sim_time = 3723456789.0;
    s.laser_hits = 7;
    s.vote_o2 = 0.25f;
    s.motor_angle = 0.5f;
    s.protocol_state[0] = 5; // Application
    s.protocol_state[1] = 0; // unknown
    s.protocol_state[3] = 6; // Ready
    s.bus_guardian_state[1] = 6;
    s.slot_offset[0] = 2.57;
    s.slot_offset[1] = -100.0;
    s.slot_offset[2] = std::nan("");
    s.slot_offset[3] = 1e300;
    s.message_values[0][1][0] = 1.0f;
    s.message_values[0][1][1] = 1.01f;
    s.message_values[2][0][0] = NOT_A_NUMBER;
    s.message_values[3][2][0] = 0.5f; // O2's column shows O2's own messages, not O1's
    s.message_values[3][3][0] = -0.3f;
    s.membership[1][2] = 1;
    s.null_frame[3][0] = 1;
    std::copy(std::begin(s.protocol_state), std::end(s.protocol_state), std::begin(s.worst_protocol_state));
    std::copy(std::begin(s.bus_guardian_state), std::end(s.bus_guardian_state),
              std::begin(s.worst_bus_guardian_state));
    form->ShowSnapshot(s, now);

    EXPECT_EQ(Text("TimeEdit"), " 1:02:03.456789");
    EXPECT_EQ(Text("Edit1"), "7");
    EXPECT_EQ(Text("MREdit"), " 0.250000") << "the vote replaces the time to shoot";
    EXPECT_EQ(Caption("GeneratorLabel"), " 180.000000");

    EXPECT_EQ(Child<TColourPanel>("ColourPanel1")->Colour(), 0x00FF00u);
    EXPECT_EQ(Caption("StateLabel1"), "Application");
    EXPECT_EQ(Child<TColourPanel>("ColourPanel2")->Colour(), RGB_GREY);
    EXPECT_EQ(Caption("StateLabel2"), "?");
    EXPECT_EQ(Child<TColourPanel>("ColourPanel4")->Colour(), 0x40C0FFu);
    EXPECT_EQ(Caption("BusGuardianLabel2"), "Node Failure");
    EXPECT_EQ(Child<TColourLabel>("BusGuardianLabel2")->Colour(), RGB_RED);
    EXPECT_EQ(Caption("BusGuardianLabel1"), "Initialize");

    EXPECT_EQ(Child<QSlider>("SlotOffsetBar1")->value(), 25);
    EXPECT_EQ(Child<QSlider>("SlotOffsetBar2")->value(), SLOT_BAR_MIN);
    EXPECT_EQ(Child<QSlider>("SlotOffsetBar3")->value(), 0) << "not a number";
    EXPECT_EQ(Child<QSlider>("SlotOffsetBar4")->value(), 0) << "beyond the integers";

    EXPECT_EQ(Caption("DataLabel1_1_0"), "1.00");
    EXPECT_EQ(Caption("DataLabel1_1_1"), "");
    EXPECT_EQ(Caption("DataLabel3_0_0"), "");
    EXPECT_EQ(Caption("DataLabel4_2_0"), "-0.30");

    EXPECT_EQ(Child<TCircle>("Membership2_2")->Colour(), RGB_GREEN);
    EXPECT_EQ(Child<TCircle>("Membership2_1")->Colour(), RGB_RED);
    EXPECT_EQ(Child<TCircle>("NullFrame4_0")->Colour(), RGB_GREEN);
    EXPECT_EQ(Child<TCircle>("NullFrame4_1")->Colour(), RGB_RED);
}

// --- Every displayed value whole ------------------------------------------------------------------------

/// A line edit keeps this many pixels free on either side of its text.
constexpr int LINE_EDIT_SIDE_PX = 2;

/// The room a field has for its text: a label's contents rectangle; a line edit's text area (without its
/// frame, its text margins and the edit's own side margins).
QRect TextRoom(const QWidget* field) {
    const auto* edit = qobject_cast<const QLineEdit*>(field);
    if (edit == nullptr) {
        return field->contentsRect();
    }
    QStyleOptionFrame option;
    option.initFrom(edit);
    option.rect = edit->contentsRect();
    option.lineWidth = edit->style()->pixelMetric(QStyle::PM_DefaultFrameWidth, &option, edit);
    return edit->style()
        ->subElementRect(QStyle::SE_LineEditContents, &option, edit)
        .marginsRemoved(edit->textMargins())
        .adjusted(LINE_EDIT_SIDE_PX, 0, -LINE_EDIT_SIDE_PX, 0);
}

/// Every visible label and line edit of the window whose text is wider than its room, with the widths.
std::string Clipped(const QWidget* form) {
    std::string clipped;
    for (const QWidget* field : form->findChildren<QWidget*>()) {
        if (!field->isVisibleTo(form) ||
            (!qobject_cast<const QLabel*>(field) && !qobject_cast<const QLineEdit*>(field))) {
            continue;
        }
        const QString text = field->property("text").toString();
        const QFontMetrics metrics(field->font());
        const QRect room = TextRoom(field);
        if (metrics.horizontalAdvance(text) > room.width()) {
            clipped += field->objectName().toStdString() + " '" + text.toStdString() + "' needs " +
                       std::to_string(metrics.horizontalAdvance(text)) + " pixels, has " +
                       std::to_string(room.width()) + "; ";
        }
    }
    return clipped;
}

/// The value whose text `text_of` is widest in `font`.
template <class Text>
float Widest(const std::vector<float>& values, const QFont& font, Text text_of) {
    const QFontMetrics metrics(font);
    const auto width = [&](float v) { return metrics.horizontalAdvance(QString::fromStdString(text_of(v))); };
    return *std::max_element(values.begin(), values.end(),
                             [&](float a, float b) { return width(a) < width(b); });
}

TEST_F(MainFormTest, EveryDisplayFieldShowsTheWidestValuesItCanGetWhole) {
    // What a fault can leave in a received value: floats of every magnitude and sign (the largest of each
    // binary exponent has the longest decimal text of its kind), and those that are not finite.
    std::vector<float> floats = {0.0f, NOT_A_NUMBER, INFINITE, -INFINITE};
    for (int e = -150; e < std::numeric_limits<float>::max_exponent; ++e) {
        floats.push_back(std::nextafter(std::ldexp(1.0f, e + 1), 0.0f));
        floats.push_back(-floats.back());
    }
    const QFont font = Child<QLineEdit>("MREdit")->font();
    Type("QZKV"); // the cycle limit too, at its largest
    Child<QSpinBox>("CCLimit")->setValue(Child<QSpinBox>("CCLimit")->maximum());
    SineSnapshot s{};
    Click("chb_vis_results"); // off: the time to shoot in general notation
    s.shoot_time = Widest(floats, font, [](float v) { return format_general(v); });
    form->ShowSnapshot(s, now);
    EXPECT_EQ(Text("MREdit").toStdString(), format_general(s.shoot_time));
    EXPECT_EQ(Clipped(form.get()), "");

    Click("chb_vis_results"); // on: O2's vote in fixed notation
    s.vote_o2 = Widest(floats, font, [](float v) { return " " + format_fixed6(v); });
    for (auto& node : s.message_values) {
        for (auto& sender : node) {
            sender[0] = sender[1] = -1.0f; // with "-0.00", the widest a node data label shows
        }
    }
    s.motor_angle = std::nextafter(1.0f, 0.0f);
    s.laser_hits = s.laser_misses = std::numeric_limits<uint32_t>::max();
    form->SetClock([this] { return now; });
    s.sim_time = 99999.99 * 1e6; // in one second: 10^7 % of real time, far beyond the window's speed
    form->ShowSnapshot(s, now + 1000ms);
    EXPECT_EQ(Text("SpeedEdit"), " 9999999%");
    s.sim_time = ((99999.0 * 60 + 59) * 60 + 59.999999) * 1e6; // 99999 hours: years of running the window
    form->ShowSnapshot(s, now + 1200ms);                       // the speed stays for half a second
    EXPECT_EQ(Caption("DataLabel4_2_1"), "-1.00");
    EXPECT_EQ(Clipped(form.get()), "");
    for (unsigned state = 0; state <= PS_DOWNLOAD; ++state) { // every caption of both state tables
        std::fill(std::begin(s.worst_protocol_state), std::end(s.worst_protocol_state), state);
        std::fill(std::begin(s.worst_bus_guardian_state), std::end(s.worst_bus_guardian_state), state);
        form->ShowSnapshot(s, now + 1200ms);
        EXPECT_EQ(Clipped(form.get()), "") << "state " << state;
    }
}

TEST_F(MainFormTest, HitFlagMarksOnlyTheRefreshThatSawANewHit) {
    SineSnapshot s{};
    s.laser_hits = 1;
    form->ShowSnapshot(s, now);
    EXPECT_TRUE(form->HitFlag());
    EXPECT_EQ(Pixel(form->SceneImage(), SHOT_X, SHOT_Y), 0x0000FFu) << "the shot is drawn";
    form->ShowSnapshot(s, now);
    EXPECT_FALSE(form->HitFlag());
    EXPECT_EQ(Pixel(form->SceneImage(), SHOT_X, SHOT_Y), 0x000000u);
}

TEST_F(MainFormTest, SpeedIsRecomputedAtMostEveryHalfSecond) {
    form->SetClock([this] { return now; });
    SineSnapshot s{};
    s.sim_time = 200000.0;
    form->ShowSnapshot(s, now + 400ms);
    EXPECT_EQ(Text("SpeedEdit"), "0%") << "too early: the old text stays";
    s.sim_time = 1000000.0;
    form->ShowSnapshot(s, now + 1000ms);
    EXPECT_EQ(Text("SpeedEdit"), " 100%");
    s.sim_time = 1050000.0;
    form->ShowSnapshot(s, now + 1400ms);
    EXPECT_EQ(Text("SpeedEdit"), " 100%");
    form->ShowSnapshot(s, now + 2000ms);
    EXPECT_EQ(Text("SpeedEdit"), " 5.0%") << "50 ms of simulated time in one second";
}

TEST_F(MainFormTest, AllOffBlanksEveryDisplayAndAllOnRestoresThemAtTheNextRefresh) {
    Click("all_off_button");
    EXPECT_FALSE(Child<QCheckBox>("chb_vis_results")->isChecked());
    EXPECT_FALSE(Thread()->GetSwitch(SWITCH_MEMBERSHIP));
    EXPECT_EQ(Text("MREdit"), "");
    form->Refresh(); // leaves switched-off displays alone
    EXPECT_EQ(Caption("DataLabel4_2_1"), "---");
    EXPECT_EQ(Caption("GeneratorLabel"), " ---");
    EXPECT_EQ(Child<QLineEdit>("MREdit")->palette().color(QPalette::Base), QColor(0xC0C0C0));
    EXPECT_EQ(Caption("StateLabel3"), "");
    EXPECT_EQ(Child<TColourPanel>("ColourPanel3")->Colour(), RGB_GREY);
    EXPECT_EQ(Caption("BusGuardianLabel3"), "");
    EXPECT_EQ(Child<TCircle>("NullFrame1_0")->Colour(), RGB_SILVER);
    EXPECT_EQ(Pixel(Child<QWidget>("Graph")->grab().toImage(), 300, 90), RGB_SILVER) << "silver scene box";

    Click("all_on_button");
    form->Refresh();
    EXPECT_NE(Caption("DataLabel4_2_1"), "---");
    EXPECT_NE(Caption("StateLabel3"), "");
    EXPECT_NE(Child<TCircle>("NullFrame1_0")->Colour(), RGB_SILVER);
    EXPECT_EQ(Child<QLineEdit>("MREdit")->palette().color(QPalette::Base),
              QApplication::palette().color(QPalette::Base));
    EXPECT_EQ(Pixel(Child<QWidget>("Graph")->grab().toImage(), 300, 90), 0x000000u) << "the scene is back";
}

TEST_F(MainFormTest, AccessCodeRevealsTheCycleLimitFromAnyFocusedControl) {
    Child<QLineEdit>("Edit3")->setFocus();
    Type("QZKQZKV");
    EXPECT_TRUE(Child<QSpinBox>("CCLimit")->isHidden()) << "a wrong Q does not start the code again";
    Type("QZKXQZKV");
    EXPECT_TRUE(Child<QSpinBox>("CCLimit")->isVisible());
    EXPECT_TRUE(Child<QLabel>("CCLimitLabel")->isVisible());
    Type("X");
    EXPECT_TRUE(Child<QSpinBox>("CCLimit")->isVisible()) << "they stay visible";
}

TEST_F(MainFormTest, CycleLimitStopsTheRunAfterThatManyCycles) {
    QSpinBox* limit = Child<QSpinBox>("CCLimit");
    limit->setValue(3);
    EXPECT_EQ(limit->palette().color(QPalette::Base), QApplication::palette().color(QPalette::Base));
    FullSpeed();
    Click("RunButton");
    EXPECT_TRUE(limit->isReadOnly());
    ASSERT_TRUE(WaitUntil([&] { return limit->value() == 0 && Thread()->IsParked(); }));
    EXPECT_GE(Snapshot().cluster_cycles, 3u);
    EXPECT_FALSE(limit->isReadOnly());
    EXPECT_EQ(limit->palette().color(QPalette::Base), QApplication::palette().color(QPalette::Button));
}

TEST_F(MainFormTest, TraceRunsOneCycleAndStopParksTheSimulation) {
    FullSpeed();
    Click("TraceButton");
    Click("TraceButton");
    EXPECT_TRUE(Thread()->IsParked());
    EXPECT_GT(Thread()->GetSimTime(), 0.0);
    Click("RunButton");
    ASSERT_TRUE(WaitUntil([&] { return Snapshot().cluster_cycles >= 1; }));
    Click("StopButton");
    EXPECT_TRUE(Thread()->IsParked());
}

TEST_F(MainFormTest, RewindBuildsAFreshModelAndKeepsTheControlsSettings) {
    FullSpeed();
    Click("chb_vis_data");
    Click("RadioButton1"); // Set
    Click("RadioButton5"); // Reg
    Click("RunButton");
    ASSERT_TRUE(WaitUntil([&] { return Snapshot().cluster_cycles >= 2; }));
    form->Refresh();
    ASSERT_NE(Text("TimeEdit"), " 0:00:00.000000");

    Click("RewindButton");
    EXPECT_EQ(Thread()->GetSimTime(), 0.0);
    EXPECT_TRUE(Thread()->IsParked()) << "a new model waits for Run";
    EXPECT_EQ(Text("TimeEdit"), " 0:00:00.000000");
    EXPECT_EQ(Snapshot().cluster_cycles, 0u);
    EXPECT_FALSE(Thread()->GetSwitch(SWITCH_NODE_DATA));
    EXPECT_EQ(Thread()->GetSleepPerCycle(), 0.0);
    Thread()->WithModelLocked([this] {
        const Cluster& c = Thread()->GetCluster();
        EXPECT_EQ(c.fault_target, TARGET_REG);
        EXPECT_EQ(c.fault_injector->effect, FAULT_SET);
    });
    EXPECT_FALSE(Child<QSpinBox>("CCLimit")->isReadOnly());
}

TEST_F(MainFormTest, FaultInjectorControlsReachTheModel) {
    const auto injector = [this] {
        return Thread()->WithModelLocked([this] { return *Thread()->GetCluster().fault_injector; });
    };
    Click("RadioButton2");
    EXPECT_EQ(injector().effect, FAULT_RESET);
    Click("RadioButton5");
    EXPECT_EQ(injector().target, TARGET_REG);

    QLineEdit* rate = Child<QLineEdit>("Edit3");
    const QColor normal = rate->palette().color(QPalette::Base);
    EXPECT_TRUE(rate->toolTip().contains("from 0 to 1000000")) << rate->toolTip().toStdString();
    rate->setText("20");
    EXPECT_EQ(injector().rate, 20.0);
    // Refused, visibly, and the previous rate stays: not a number, below 0, beyond one fault per microsecond.
    for (const char* refused : {"fast", "-3", "1e300", "1000000.5", "inf", "nan"}) {
        rate->setText(refused);
        EXPECT_EQ(injector().rate, 20.0) << refused;
        EXPECT_EQ(rate->palette().color(QPalette::Base), QColor(RGB_REFUSED)) << refused;
        EXPECT_TRUE(rate->toolTip().startsWith("Not a rate")) << refused;
    }
    rate->setText("1000000");
    EXPECT_EQ(injector().rate, MAX_FAULT_RATE_PER_S) << "the bound itself is a rate";
    EXPECT_EQ(rate->palette().color(QPalette::Base), normal);
    rate->setText("");
    EXPECT_EQ(rate->palette().color(QPalette::Base), normal) << "an empty field is no entry";
    EXPECT_EQ(injector().rate, MAX_FAULT_RATE_PER_S);
    rate->setText("0");
    EXPECT_EQ(injector().rate, 0.0);

    Click("Button1");
    Click("Button1");
    EXPECT_EQ(Injections(), 2u);
}

// --- Kernel errors --------------------------------------------------------------------------------------

TEST_F(MainFormTest, ErrorBoxDoesNotHoldUpStopAndClosingItLetsTheSimulationPark) {
    EmptyTheSequencingSet();
    Click("RunButton");
    ASSERT_TRUE(WaitUntil([&] { return ErrorBox() != nullptr && ErrorBox()->isVisible(); }));
    EXPECT_EQ(ErrorBox()->windowTitle(), "Orvik Error");
    EXPECT_EQ(ErrorBox()->text().toStdString(), sim_error_message(72));
    EXPECT_EQ(ErrorBox()->icon(), QMessageBox::Critical);

    Click("StopButton"); // returns although the box is open
    EXPECT_TRUE(Thread()->PendingError().has_value());
    QTest::mouseClick(ErrorBox()->button(QMessageBox::Ok), Qt::LeftButton);
    ASSERT_TRUE(WaitUntil([&] { return Thread()->IsParked(); })) << "acknowledged, then parked";
    EXPECT_FALSE(Thread()->PendingError().has_value());

    Click("TraceButton"); // the error comes back in the traced cycle; Trace still returns
    ASSERT_TRUE(WaitUntil([&] { return ErrorBox() != nullptr && ErrorBox()->isVisible(); }));
    Click("TraceButton");
    Click("RewindButton");
    EXPECT_EQ(ErrorBox(), nullptr) << "the box of the replaced model is gone";
    EXPECT_EQ(Thread()->GetSimTime(), 0.0);
    EXPECT_FALSE(Thread()->PendingError().has_value());
}

TEST_F(MainFormTest, ClosingTheWindowWithAnErrorBoxOpenEndsCleanly) {
    EmptyTheSequencingSet();
    Click("RunButton");
    ASSERT_TRUE(WaitUntil([&] { return ErrorBox() != nullptr && ErrorBox()->isVisible(); }));
    form->close();
    EXPECT_EQ(ErrorBox(), nullptr);
    form.reset(); // joins the thread that waits for the acknowledgement; TearDown checks the model is gone
}

TEST_F(MainFormTest, ClosingTheWindowWhileRunningEndsCleanly) {
    FullSpeed();
    Click("RunButton");
    ASSERT_TRUE(WaitUntil([&] { return Snapshot().sim_time > 0.0; }));
    form->close();
    form.reset();
}

// --- The About dialog -----------------------------------------------------------------------------------

TEST(AboutForm, ShowsTheBuildDateAndClosesOnEscapeAndEnter) {
    const QRegularExpression built(R"(^\(Built [A-Z][a-z]{2} [ 0-9]\d \d{4}, \d\d:\d\d:\d\d\)$)");
    for (Qt::Key key : {Qt::Key_Escape, Qt::Key_Return, Qt::Key_Enter}) {
        TAboutForm about;
        EXPECT_EQ(about.windowTitle(), "About Sine Wave");
        EXPECT_TRUE(built.match(about.findChild<QLabel*>("BuildDateLabel")->text()).hasMatch());
        about.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&about));
        QTest::keyClick(&about, key);
        EXPECT_FALSE(about.isVisible()) << "key " << key;
        EXPECT_EQ(about.result(), key == Qt::Key_Escape ? QDialog::Rejected : QDialog::Accepted);
    }
}

TEST(AboutForm, EachLinkAndLogoOpensTheAddressOfItsOwnBlock) {
    UrlRecorder recorder;
    QDesktopServices::setUrlHandler("https", &recorder, "open");
    TAboutForm about;
    about.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&about));
    for (const char* name : {"UpperLink", "Image2", "LowerLink", "Image1"}) {
        QWidget* clickable = about.findChild<QWidget*>(name);
        ASSERT_NE(clickable, nullptr) << name;
        QTest::mouseClick(clickable, Qt::LeftButton);
    }
    QDesktopServices::unsetUrlHandler("https");
    EXPECT_EQ(recorder.opened, (QList<QUrl>{about_upper_address(), about_upper_address(),
                                            about_lower_address(), about_lower_address()}));
}

} // namespace

#include "test_main_form.moc"
