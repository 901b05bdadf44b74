#include "ui/main_form.h"

#include "host/cluster_config.h"
#include "ui/about_form.h"
#include "ui/fault_panel.h"
#include "ui/laser_scene.h"
#include "ui/log_directory.h"
#include "ui/observer_form.h"
#include "ui/panel_widgets.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QDir>
#include <QFileDialog>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPainter>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QShortcut>
#include <QSlider>
#include <QSpinBox>
#include <QTimer>
#include <QWindow>

#include <cmath>

/// The scene box: copies the scene image while the sine graph is shown, else paints itself silver.
class TSceneBox : public QWidget {
  public:
    TSceneBox(QWidget* parent, const QImage* image) : QWidget(parent), image_(image) {}
    void SetShown(bool shown) {
        shown_ = shown;
        update();
    }

  protected:
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        if (shown_) {
            p.drawImage(0, 0, *image_);
            return;
        }
        p.fillRect(rect(), to_qcolor(RGB_SILVER));
        p.setPen(Qt::black);
        p.drawRect(rect().adjusted(0, 0, -1, -1));
    }

  private:
    const QImage* image_;
    bool shown_ = true;
};

namespace {

// Layout of the client area (left, top, width, height in pixels).
const QRect GRAPH_PLACE(10, 5, SCENE_WIDTH, SCENE_HEIGHT);
const QRect MOTOR_PANEL_PLACE(16, 120, 121, 41);
const QRect GENERATOR_LABEL_PLACE(10, 19, 88, 15);
// The counters hold any 32-bit count (ten digits); the time to shoot any float the vote can receive, in
// general or fixed notation ("-1.12589983973376E+15", " -999999936.000000"): both grow into the free
// space to their right and left, up to the control column.
const QRect HIT_EDIT_PLACE(360, 120, 84, 21);
const QRect MISS_EDIT_PLACE(360, 144, 84, 21);
const QRect RESULT_EDIT_PLACE(492, 128, 160, 21);
// The simulated time up to 99999 hours (" 99999:59:59.999999"): the width of the control column.
const QRect TIME_EDIT_PLACE(4, 24, 128, 21);
// The cycle limit up to its largest value, ten digits, beside the spin buttons.
const QRect CC_LIMIT_PLACE(14, 506, 108, 22);
constexpr int NODE_PANEL_LEFT[NODE_COUNT] = {16, 168, 352, 504};
constexpr int NODE_PANEL_TOP = 212;
constexpr QSize NODE_PANEL_SIZE(145, 141);
constexpr int BUS_GUARDIAN_LEFT[NODE_COUNT] = {48, 200, 392, 536};
constexpr int BUS_GUARDIAN_TOP = 353;
constexpr QSize BUS_GUARDIAN_SIZE(81, 20);
const QRect CHANNEL_BAR[CHANNEL_COUNT] = {QRect(8, 384, 649, 5), QRect(8, 400, 649, 5)};
const QRect FAULT_BOX_PLACE(176, 408, 233, 161);
const QRect CONTROL_COLUMN_PLACE(656, 0, 136, FORM_CLIENT_HEIGHT);
const QRect OBSERVER_BUTTON_PLACE(540, 538, 104, 25); // free space below the O2 panel, left of the column

// Inside a node panel.
const QRect COLOUR_PANEL_PLACE(8, 8, 97, 51);
constexpr int NODE_NAME_HEIGHT = 33;
const QRect SLOT_BAR_PLACE(110, 4, 33, 60);
const QRect MEMBERSHIP_ROW_PLACE(8, 62, 129, 20);
const QRect NULL_FRAME_ROW_PLACE(8, 82, 129, 20);
constexpr int CIRCLE_LEFT = 66, CIRCLE_STEP = 15, CIRCLE_TOP = 4;
constexpr int ROW_LABEL_LEFT = 3; // "Membership" needs the 62 pixels up to the first circle
// Node data labels end at 46 + 37u, right-aligned; 32 wide so that "-1.00" and "-0.00" fit with their sign.
constexpr int DATA_LEFT = 14, DATA_COLUMN_STEP = 37, DATA_TOP = 108, DATA_ROW_STEP = 15;
constexpr QSize DATA_LABEL_SIZE(32, 13);
constexpr int NAME_FONT_PX = 32, STATE_FONT_PX = 15, FORM_FONT_PX = 11, ROW_FONT_PX = 10;

constexpr const char* SWITCH_CAPTIONS[SWITCH_COUNT] = {"Sine Graph", "Memb./Null.", "Node State", "Node Data",
                                                       "Results"};
constexpr const char* SWITCH_NAMES[SWITCH_COUNT] = {"chb_vis_graph", "chb_vis_membnull", "chb_vis_state",
                                                    "chb_vis_data", "chb_vis_results"};
constexpr unsigned O2_DATA_COLUMN = 2;
constexpr int CC_LIMIT_MAX = 1000000000;
constexpr int SPEED_INITIAL = 500;
constexpr int WAIT_SLICE_MS = 5;
constexpr auto SPEED_PERIOD = std::chrono::milliseconds(500);
constexpr int ACK_RETRY_MS = 1;
constexpr const char* TIME_TIP = "Simulated time since the model was built.\n";
// The rate the runner accepts is the window's too.
const QString RATE_TIP = QString("Faults per second, from 0 to %1 (at most one fault per microsecond)")
                             .arg(MAX_FAULT_RATE_PER_S, 0, 'f', 0);
const QString RATE_REFUSED_TIP =
    QString("Not a rate from 0 to %1 faults per second: the injector keeps its previous rate")
        .arg(MAX_FAULT_RATE_PER_S, 0, 'f', 0);

QLabel* label_at(QWidget* parent, const QString& text, int x, int y) {
    auto* label = new QLabel(text, parent);
    label->move(x, y);
    label->adjustSize();
    return label;
}

QLineEdit* edit_at(QWidget* parent, const char* name, const QRect& place, const QString& text,
                   bool read_only) {
    auto* edit = new QLineEdit(text, parent);
    edit->setObjectName(name);
    edit->setGeometry(place);
    edit->setReadOnly(read_only);
    edit->setTextMargins(0, 0, 0, 0);
    return edit;
}

QPushButton* button_at(QWidget* parent, const char* name, const QString& text, const QRect& place) {
    auto* button = new QPushButton(text, parent);
    button->setObjectName(name);
    button->setGeometry(place);
    button->setAutoDefault(false);
    return button;
}

QFont pixel_font(const QFont& base, int pixels, bool bold = false) {
    QFont font = base;
    font.setPixelSize(pixels);
    font.setBold(bold);
    return font;
}

QString qs(const std::string& text) {
    return QString::fromStdString(text);
}

} // namespace

void show_startup_error(QWidget* parent, const std::string& reason) {
    QString text = QString::fromUtf8(STARTUP_ERROR_TEXT);
    if (!reason.empty()) {
        text += "\n\n" + qs(reason);
    }
    QMessageBox::critical(parent, QString::fromUtf8(STARTUP_ERROR_CAPTION), text);
}

// --- Creation and destruction ---------------------------------------------------------------------------

TMainForm::TMainForm(SineThreadOptions options, TSineWaveThread::Ptr thread, QWidget* parent)
    : QWidget(parent), options_(std::move(options)), thread_(std::move(thread)),
      clock_([] { return std::chrono::steady_clock::now(); }), scene_(make_scene_image()) {
    setObjectName("MainForm");
    setWindowTitle(FORM_CAPTION);
    setFixedSize(FORM_CLIENT_WIDTH, FORM_CLIENT_HEIGHT);
    setFont(pixel_font(font(), FORM_FONT_PX));
    BuildView();
    ConnectThread();
    ResetReferences();
    ApplySettings();
    Refresh();
    update_timer_ = new QTimer(this);
    update_timer_->setInterval(REFRESH_INTERVAL_MS);
    connect(update_timer_, &QTimer::timeout, this, &TMainForm::Refresh);
    update_timer_->start();
}

TMainForm::~TMainForm() {
    update_timer_->stop();
    CloseErrorBox();
    delete observer_; // it asks for the thread, which goes next
    delete fault_panel_;
    thread_.reset(); // terminates and joins the simulation thread, then disposes of the model
}

void TMainForm::ConnectThread() {
    generation_ += 1;
    const uint64_t generation = generation_;
    // Runs on the simulation thread; the window outlives every thread it owns (it joins them).
    thread_->SetErrorListener([this, generation](uint8_t /*code*/, const char* message) {
        const QString text = QString::fromUtf8(message);
        QMetaObject::invokeMethod(
            this, [this, generation, text] { ShowKernelError(generation, text); }, Qt::QueuedConnection);
    });
}

void TMainForm::ResetReferences() {
    last_hits_ = 0;
    hit_flag_ = false;
    last_cycles_ = 0;
    speed_wall_ = clock_();
    speed_sim_ = 0.0;
}

void TMainForm::SetClock(Clock clock) {
    clock_ = std::move(clock);
    speed_wall_ = clock_();
    speed_sim_ = snapshot_.sim_time;
}

void TMainForm::ApplySettings() {
    SlowTrackBarChange();
    ResultsSwitchClick();
    StateSwitchClick();
    DataSwitchClick();
    MembershipSwitchClick();
    GraphSwitchClick();
    // The fault injector's controls keep their choices across Rewind; the new model gets them too.
    if (effect_) {
        thread_->SetFaultEffect(*effect_);
    }
    if (target_) {
        thread_->SetFaultTarget(*target_);
    }
    if (rate_) {
        thread_->SetFaultRate(*rate_);
    }
}

// --- Layout ---------------------------------------------------------------------------------------------

void TMainForm::BuildView() {
    graph_ = new TSceneBox(this, &scene_);
    graph_->setObjectName("Graph");
    graph_->setGeometry(GRAPH_PLACE);

    auto* motor = new QGroupBox("Motor angle", this);
    motor->setGeometry(MOTOR_PANEL_PLACE);
    generator_label_ = new QLabel("0", motor);
    generator_label_->setObjectName("GeneratorLabel");
    generator_label_->setGeometry(GENERATOR_LABEL_PLACE);
    generator_label_->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    label_at(motor, "\u00b0", GENERATOR_LABEL_PLACE.right() + 2, GENERATOR_LABEL_PLACE.top());

    auto* hit_label = new QLabel("Laser hit:", this);
    hit_label->setGeometry(296, 120, 60, 21);
    hit_label->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    auto* miss_label = new QLabel("Laser mis:", this);
    miss_label->setGeometry(296, 144, 60, 21);
    miss_label->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    hits_edit_ = edit_at(this, "Edit1", HIT_EDIT_PLACE, "0", true);
    misses_edit_ = edit_at(this, "Edit2", MISS_EDIT_PLACE, "0", true);
    hits_edit_->setAlignment(Qt::AlignRight);
    misses_edit_->setAlignment(Qt::AlignRight);

    label_at(this, "Time to shoot", RESULT_EDIT_PLACE.left(), 112);
    result_edit_ = edit_at(this, "MREdit", RESULT_EDIT_PLACE, "0", true);

    for (unsigned node = 0; node < NODE_COUNT; ++node) {
        BuildNodePanel(node);
    }
    BuildFaultInjectorBox();
    BuildControlColumn();

    auto* observer = button_at(this, "ObserverButton", "Observer (F2)", OBSERVER_BUTTON_PLACE);
    observer->setToolTip("What the faults do, slot by slot");
    connect(observer, &QPushButton::clicked, this, &TMainForm::ObserverClick);
    auto* key = new QShortcut(QKeySequence(Qt::Key_F2), this);
    key->setContext(Qt::ApplicationShortcut); // also from the observer itself, which F2 then raises
    connect(key, &QShortcut::activated, this, &TMainForm::ObserverClick);
    auto* panel_key = new QShortcut(QKeySequence(Qt::Key_F3), this);
    panel_key->setContext(Qt::ApplicationShortcut);
    connect(panel_key, &QShortcut::activated, this, &TMainForm::FaultPanelClick);
}

void TMainForm::BuildNodePanel(unsigned node) {
    auto* panel = new QFrame(this);
    panel->setObjectName(QString("Node%1").arg(node + 1));
    panel->setFrameStyle(QFrame::Panel | QFrame::Raised);
    panel->setGeometry(QRect(QPoint(NODE_PANEL_LEFT[node], NODE_PANEL_TOP), NODE_PANEL_SIZE));
    NodeWidgets& w = nodes_[node];

    w.colour_panel = new TColourPanel(panel, protocol_state_display(PS_FREEZE).colour);
    w.colour_panel->setObjectName(QString("ColourPanel%1").arg(node + 1));
    w.colour_panel->setGeometry(COLOUR_PANEL_PLACE);
    auto* name = new QLabel(CLUSTER_NODES[node].name, w.colour_panel);
    name->setFont(pixel_font(font(), NAME_FONT_PX, true));
    name->setAlignment(Qt::AlignCenter);
    name->setGeometry(0, 0, COLOUR_PANEL_PLACE.width(), NODE_NAME_HEIGHT);
    w.state_label = new QLabel("Freeze", w.colour_panel);
    w.state_label->setObjectName(QString("StateLabel%1").arg(node + 1));
    w.state_label->setFont(pixel_font(font(), STATE_FONT_PX));
    w.state_label->setAlignment(Qt::AlignCenter);
    w.state_label->setGeometry(0, NODE_NAME_HEIGHT, COLOUR_PANEL_PLACE.width(),
                               COLOUR_PANEL_PLACE.height() - NODE_NAME_HEIGHT);

    const auto circle_row = [&](const QRect& place, const char* caption, const char* prefix,
                                TCircle** circles) {
        auto* row = new QFrame(panel);
        row->setGeometry(place);
        auto* label = new QLabel(caption, row);
        label->setFont(pixel_font(font(), ROW_FONT_PX));
        label->setGeometry(ROW_LABEL_LEFT, 3, CIRCLE_LEFT - ROW_LABEL_LEFT - 1, 15);
        for (unsigned k = 0; k < NODE_COUNT; ++k) {
            circles[k] = new TCircle(row, RGB_SILVER);
            circles[k]->setObjectName(QString("%1%2_%3").arg(prefix).arg(node + 1).arg(k));
            circles[k]->move(CIRCLE_LEFT + CIRCLE_STEP * static_cast<int>(k), CIRCLE_TOP);
        }
    };
    circle_row(MEMBERSHIP_ROW_PLACE, "Membership", "Membership", w.membership);
    circle_row(NULL_FRAME_ROW_PLACE, "Null Frame", "NullFrame", w.null_frame);

    w.slot_bar = new QSlider(Qt::Vertical, panel);
    w.slot_bar->setObjectName(QString("SlotOffsetBar%1").arg(node + 1));
    w.slot_bar->setGeometry(SLOT_BAR_PLACE);
    w.slot_bar->setRange(SLOT_BAR_MIN, SLOT_BAR_MAX);
    w.slot_bar->setTickInterval(10);
    w.slot_bar->setTickPosition(QSlider::TicksBothSides);
    w.slot_bar->setInvertedAppearance(true); // early at the top, late at the bottom
    w.slot_bar->setValue(0);
    w.slot_bar->setEnabled(false);
    w.slot_bar->setToolTip("Slot offset against O2");

    for (unsigned column = 0; column < 3; ++column) {
        for (unsigned row = 0; row < 2; ++row) {
            QLabel*& label = w.data[column][row];
            label = nullptr;
            if (node == NODE_O2 && column != O2_DATA_COLUMN) {
                continue; // O2 shows only its own messages
            }
            label = new QLabel("0", panel);
            label->setObjectName(QString("DataLabel%1_%2_%3").arg(node + 1).arg(column).arg(row));
            label->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
            label->setGeometry(QRect(QPoint(DATA_LEFT + DATA_COLUMN_STEP * static_cast<int>(column),
                                            DATA_TOP + DATA_ROW_STEP * static_cast<int>(row)),
                                     DATA_LABEL_SIZE));
        }
    }

    auto* guardian = new QFrame(this);
    guardian->setFrameStyle(QFrame::Panel | QFrame::Raised);
    guardian->setGeometry(QRect(QPoint(BUS_GUARDIAN_LEFT[node], BUS_GUARDIAN_TOP), BUS_GUARDIAN_SIZE));
    w.bus_guardian = new TColourLabel("Bus Guardian", guardian, RGB_RED);
    w.bus_guardian->setObjectName(QString("BusGuardianLabel%1").arg(node + 1));
    w.bus_guardian->setGeometry(4, 3, 73, 14);
}

void TMainForm::BuildFaultInjectorBox() {
    auto* box = new QGroupBox("Fault Injector", this);
    box->setGeometry(FAULT_BOX_PLACE);

    auto* effect = new QGroupBox("Bit fault Effect", box);
    effect->setGeometry(8, 18, 96, 78);
    const char* effect_captions[3] = {"Set", "Reset", "Flip"};
    for (int i = 0; i < 3; ++i) {
        effect_buttons_[i] = new QRadioButton(effect_captions[i], effect);
        effect_buttons_[i]->setObjectName(QString("RadioButton%1").arg(i + 1));
        effect_buttons_[i]->setGeometry(10, 17 + 19 * i, 80, 17);
        connect(effect_buttons_[i], &QRadioButton::clicked, this, &TMainForm::EffectClick);
    }

    auto* target = new QGroupBox("Target", box);
    target->setGeometry(8, 100, 96, 53);
    const char* target_captions[2] = {"CNI", "Reg"};
    for (int i = 0; i < 2; ++i) {
        target_buttons_[i] = new QRadioButton(target_captions[i], target);
        target_buttons_[i]->setObjectName(QString("RadioButton%1").arg(i + 4));
        target_buttons_[i]->setGeometry(10 + 44 * i, 24, 44, 17);
        connect(target_buttons_[i], &QRadioButton::clicked, this, &TMainForm::TargetClick);
    }

    auto* control = new QGroupBox("Injection control", box);
    control->setGeometry(112, 18, 113, 135);
    auto* inject = button_at(control, "Button1", "Inject now", QRect(10, 22, 93, 25));
    connect(inject, &QPushButton::clicked, this, &TMainForm::InjectNowClick);
    label_at(control, "Rate", 10, 60);
    rate_edit_ = edit_at(control, "Edit3", QRect(10, 76, 93, 21), "", false);
    rate_edit_->setToolTip(RATE_TIP);
    connect(rate_edit_, &QLineEdit::textChanged, this, &TMainForm::RateChange);
    label_at(control, "[fault/sec]", 10, 102);
}

void TMainForm::BuildControlColumn() {
    auto* column = new QFrame(this);
    column->setObjectName("ControlColumn");
    column->setGeometry(CONTROL_COLUMN_PLACE);
    auto* edge = new QFrame(column);
    edge->setFrameStyle(QFrame::VLine | QFrame::Sunken);
    edge->setGeometry(0, 0, 2, CONTROL_COLUMN_PLACE.height());

    auto* time_label = new QLabel("Simulation Time", column);
    time_label->setGeometry(8, 6, 120, 16);
    time_label->setAlignment(Qt::AlignHCenter | Qt::AlignVCenter);
    time_edit_ = edit_at(column, "TimeEdit", TIME_EDIT_PLACE, "", true);

    run_button_ = button_at(column, "RunButton", "", QRect(28, 59, 75, 25));
    stop_button_ = button_at(column, "StopButton", "", QRect(28, 88, 75, 25));
    trace_button_ = button_at(column, "TraceButton", "", QRect(28, 117, 75, 25));
    rewind_button_ = button_at(column, "RewindButton", "", QRect(28, 146, 75, 25));
    const std::pair<QPushButton*, const char*> tips[] = {{run_button_, "Run"},
                                                         {stop_button_, "Stop"},
                                                         {trace_button_, "Trace: one cycle"},
                                                         {rewind_button_, "Rewind: a fresh model"}};
    for (const auto& [button, tip] : tips) {
        button->setToolTip(tip);
        button->setAccessibleName(tip);
    }
    run_button_->setIcon(run_glyph());
    stop_button_->setIcon(stop_glyph());
    trace_button_->setIcon(trace_glyph());
    rewind_button_->setIcon(rewind_glyph());
    connect(run_button_, &QPushButton::clicked, this, &TMainForm::RunButtonClick);
    connect(stop_button_, &QPushButton::clicked, this, &TMainForm::StopButtonClick);
    connect(trace_button_, &QPushButton::clicked, this, &TMainForm::TraceButtonClick);
    connect(rewind_button_, &QPushButton::clicked, this, &TMainForm::RestartButtonClick);

    auto* speed_label = new QLabel("Simulation Speed", column);
    speed_label->setGeometry(8, 177, 120, 16);
    speed_label->setAlignment(Qt::AlignHCenter | Qt::AlignVCenter);
    auto* speed_unit = new QLabel("(% of real time)", column);
    speed_unit->setGeometry(8, 193, 120, 16);
    speed_unit->setAlignment(Qt::AlignHCenter | Qt::AlignVCenter);
    speed_edit_ = edit_at(column, "SpeedEdit", QRect(21, 211, 89, 21), "0%", true);

    label_at(column, "Slower", 8, 238);
    auto* faster = new QLabel("Faster", column);
    faster->setGeometry(68, 238, 56, 14);
    faster->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    speed_slider_ = new QSlider(Qt::Horizontal, column);
    speed_slider_->setObjectName("SlowTrackBar");
    speed_slider_->setGeometry(9, 251, 113, 30);
    speed_slider_->setRange(0, 1000);
    speed_slider_->setValue(SPEED_INITIAL);
    speed_slider_->setPageStep(100);
    speed_slider_->setTickInterval(100);
    speed_slider_->setTickPosition(QSlider::TicksBelow);
    connect(speed_slider_, &QSlider::valueChanged, this, &TMainForm::SlowTrackBarChange);

    auto* visualisation = new QGroupBox("Visualization", column);
    visualisation->setGeometry(12, 287, 109, 143);
    using Handler = void (TMainForm::*)();
    const Handler handlers[SWITCH_COUNT] = {&TMainForm::GraphSwitchClick, &TMainForm::MembershipSwitchClick,
                                            &TMainForm::StateSwitchClick, &TMainForm::DataSwitchClick,
                                            &TMainForm::ResultsSwitchClick};
    for (unsigned i = 0; i < SWITCH_COUNT; ++i) {
        switch_boxes_[i] = new QCheckBox(SWITCH_CAPTIONS[i], visualisation);
        switch_boxes_[i]->setObjectName(SWITCH_NAMES[i]);
        switch_boxes_[i]->setGeometry(10, 20 + 18 * static_cast<int>(i), 95, 17);
        switch_boxes_[i]->setChecked(true);
        connect(switch_boxes_[i], &QCheckBox::toggled, this, handlers[i]);
    }
    auto* all_on = button_at(visualisation, "all_on_button", "All On", QRect(8, 112, 45, 23));
    auto* all_off = button_at(visualisation, "all_off_button", "All Off", QRect(56, 112, 45, 23));
    connect(all_on, &QPushButton::clicked, this, &TMainForm::AllOnClick);
    connect(all_off, &QPushButton::clicked, this, &TMainForm::AllOffClick);

    auto* about = button_at(column, "AboutButton", "About...", QRect(27, 445, 75, 25));
    connect(about, &QPushButton::clicked, this, &TMainForm::AboutButtonClick);

    // The cluster-cycle limit, revealed by the access code. Below the About button, clear of the run
    // buttons.
    cc_limit_label_ = new QLabel("Cluster Cycles Left", column);
    cc_limit_label_->setObjectName("CCLimitLabel");
    cc_limit_label_->setGeometry(8, 488, 120, 16);
    cc_limit_label_->setAlignment(Qt::AlignHCenter | Qt::AlignVCenter);
    cc_limit_ = new QSpinBox(column);
    cc_limit_->setObjectName("CCLimit");
    cc_limit_->setGeometry(CC_LIMIT_PLACE);
    cc_limit_->setRange(0, CC_LIMIT_MAX);
    cc_limit_->setAlignment(Qt::AlignRight);
    connect(cc_limit_, &QSpinBox::valueChanged, this, &TMainForm::CCLimitChange);
    CCLimitChange();
    cc_limit_label_->hide();
    cc_limit_->hide();
}

void TMainForm::SetFieldColour(QWidget* field, QColor colour) {
    QPalette palette = field->palette();
    palette.setColor(QPalette::Base, colour);
    field->setPalette(palette);
}

// --- Refresh --------------------------------------------------------------------------------------------

void TMainForm::Refresh() {
    if (in_refresh_ || !thread_) {
        return; // a refresh that waits for the simulation to stop is not refreshed again meanwhile
    }
    SineSnapshot snapshot;
    thread_->ReadSnapshot(&snapshot);
    ShowSnapshot(snapshot, clock_());
    // How large the logs have grown, on the time field's tooltip: the fixed layout has no status line.
    time_edit_->setToolTip(QString(TIME_TIP) +
                           qs(log_sizes_text(options_.trace_file, options_.injection_log)));
}

void TMainForm::ShowSnapshot(const SineSnapshot& s, std::chrono::steady_clock::time_point now) {
    in_refresh_ = true;
    snapshot_ = s;
    hits_edit_->setText(QString::number(s.laser_hits));
    misses_edit_->setText(QString::number(s.laser_misses));
    result_edit_->setText(qs(format_general(s.shoot_time)));

    hit_flag_ = s.laser_hits != last_hits_;
    last_hits_ = s.laser_hits;

    const uint32_t completed = s.cluster_cycles - last_cycles_; // counts only up, wraps at 2^32
    last_cycles_ = s.cluster_cycles;
    const CycleLimitStep limit = cycle_limit_step(cc_limit_->value(), completed);
    if (limit.left != cc_limit_->value()) {
        cc_limit_->setValue(static_cast<int>(limit.left));
    }
    if (limit.stop) {
        StopButtonClick();
    }

    if (now - speed_wall_ > SPEED_PERIOD) {
        const double wall = std::chrono::duration<double>(now - speed_wall_).count();
        speed_edit_->setText(qs(format_speed(speed_percent(s.sim_time - speed_sim_, wall))));
        speed_wall_ = now;
        speed_sim_ = s.sim_time;
    }

    time_edit_->setText(qs(format_sim_time(s.sim_time)));

    if (thread_->GetSwitch(SWITCH_RESULTS)) {
        result_edit_->setText(qs(" " + format_fixed6(s.vote_o2)));
    }
    if (thread_->GetSwitch(SWITCH_NODE_STATE)) {
        ShowNodeState(s);
    }
    if (thread_->GetSwitch(SWITCH_MEMBERSHIP)) {
        ShowMembership(s);
    }
    if (thread_->GetSwitch(SWITCH_NODE_DATA)) {
        ShowNodeData(s);
    }
    if (thread_->GetSwitch(SWITCH_SINE_GRAPH)) {
        draw_scene(scene_, s.motor_angle, hit_flag_);
        graph_->update();
    }
    in_refresh_ = false;
}

void TMainForm::ShowNodeState(const SineSnapshot& s) {
    for (unsigned node = 0; node < NODE_COUNT; ++node) {
        NodeWidgets& w = nodes_[node];
        // The worst since the last refresh, so a state passed through between two refreshes is seen once.
        const StateDisplay state = protocol_state_display(s.worst_protocol_state[node]);
        w.colour_panel->SetColour(state.colour);
        w.state_label->setText(state.caption);
        w.slot_bar->setValue(slot_offset_position(s.slot_offset[node]));
        const StateDisplay guardian = bus_guardian_display(s.worst_bus_guardian_state[node]);
        w.bus_guardian->SetColour(guardian.colour);
        w.bus_guardian->setText(guardian.caption);
    }
}

void TMainForm::ShowMembership(const SineSnapshot& s) {
    for (unsigned node = 0; node < NODE_COUNT; ++node) {
        for (unsigned k = 0; k < NODE_COUNT; ++k) {
            nodes_[node].membership[k]->SetColour(s.membership[node][k] != 0 ? RGB_GREEN : RGB_RED);
            nodes_[node].null_frame[k]->SetColour(s.null_frame[node][k] != 0 ? RGB_GREEN : RGB_RED);
        }
    }
}

void TMainForm::ShowNodeData(const SineSnapshot& s) {
    generator_label_->setText(qs(" " + format_fixed6(360.0 * static_cast<double>(s.motor_angle))));
    for (unsigned node = 0; node < NODE_COUNT; ++node) {
        for (unsigned column = 0; column < 3; ++column) {
            QLabel* const* labels = nodes_[node].data[column];
            if (labels[0] == nullptr) {
                continue;
            }
            const unsigned sender = node == NODE_O2 ? NODE_O2 : column;
            for (unsigned row = 0; row < 2; ++row) {
                labels[row]->setText(qs(format_node_data(s.message_values[node][sender][row])));
            }
        }
    }
}

// --- Run controls ---------------------------------------------------------------------------------------

void TMainForm::WaitUntilStopped() {
    while (thread_ && !thread_->WaitStopped(std::chrono::milliseconds(WAIT_SLICE_MS))) {
        // Timers, painting and posted kernel errors go on; clicks and keys wait for the handler to end.
        QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents, WAIT_SLICE_MS);
    }
}

void TMainForm::RunButtonClick() {
    if (thread_->BuildFailed()) {
        return; // nothing of a half-built model may run
    }
    if (observer_) {
        observer_->RunStarted(); // where the run stopped on an effect is history now
    }
    thread_->CancelStep(); // a plain run goes on until stopped
    thread_->Run();
    cc_limit_->setReadOnly(true);
}

void TMainForm::StepSlotsClick(uint32_t count) {
    if (thread_->BuildFailed()) {
        return;
    }
    if (observer_) {
        observer_->RunStarted();
    }
    thread_->StepSlots(count); // it pauses itself; the window does not wait, a slow run takes its time
}

void TMainForm::StopButtonClick() {
    thread_->SetPaused(true);
    WaitUntilStopped();
    thread_->CancelStep();
    cc_limit_->setReadOnly(false);
}

void TMainForm::TraceButtonClick() {
    if (thread_->BuildFailed()) {
        return;
    }
    thread_->TraceStep(false);
    WaitUntilStopped();
    cc_limit_->setReadOnly(false);
}

void TMainForm::RestartButtonClick() {
    ReplaceThread(options_);
}

bool TMainForm::ReplaceThread(const SineThreadOptions& options) {
    StopButtonClick();
    CloseErrorBox(); // it told of the model that goes now
    thread_.reset();
    thread_ = TOrvikThread::Create<TSineWaveThread>(options);
    if (thread_->BuildFailed()) {
        // The input files went away since the start: there is no model to show.
        for (QPushButton* button : {run_button_, trace_button_, rewind_button_}) {
            button->setEnabled(false);
        }
        show_startup_error(this, thread_->BuildError());
        QCoreApplication::exit(-1);
        return false;
    }
    ConnectThread();
    ResetReferences();
    ApplySettings();
    Refresh();
    cc_limit_->setReadOnly(false);
    return true;
}

void TMainForm::BackToSlot(uint64_t slot) {
    if (thread_->BuildFailed() || slot == 0) {
        return;
    }
    if (!thread_->CanGoBack()) {
        QMessageBox::warning(this, "Back",
                             QString("Back replays the run's own injections, and this run has had more "
                                     "than %1: it can only be rewound.")
                                 .arg(TSineWaveThread::MAX_RUN_ROWS));
        return;
    }
    thread_->SetPaused(true);
    WaitUntilStopped();
    if (thread_->GoBackInPlace(slot)) {
        // From a point the model kept of itself: the same run, replayed from there.
        CloseErrorBox();
        ConnectThread();
        ResetReferences();
        ApplySettings();
        Refresh();
        cc_limit_->setReadOnly(false);
        if (observer_) {
            observer_->RunStarted();
        }
        thread_->Run(); // unpaced to the slot, where it stops of itself
        return;
    }
    SineThreadOptions back = options_; // the same configuration and lesson, and Rewind still starts afresh
    back.replay = thread_->RunRows();
    back.replay_is_own = true;
    back.stop_before_step.reset();    // where a replay opened stood is no stop of this run's
    back.stop_after_slots = slot - 1; // slot begins once the ones before it have closed
    if (ReplaceThread(back)) {
        if (observer_) {
            observer_->RunStarted();
        }
        if (slot > 1) {
            thread_->Run(); // unpaced to the slot, where it stops of itself
        }                   // the first slot begins at time 0, where a new model stands
    }
}

void TMainForm::SlowTrackBarChange() {
    thread_->SetSleepPerCycle(TOrvikThread::SleepForSliderPosition(speed_slider_->value()));
}

void TMainForm::CCLimitChange() {
    const QPalette& standard = QApplication::palette();
    SetFieldColour(cc_limit_, cc_limit_->value() < 1 ? standard.color(QPalette::Button)
                                                     : standard.color(QPalette::Base));
}

// --- Visualisation switches -----------------------------------------------------------------------------

void TMainForm::GraphSwitchClick() {
    const bool on = switch_boxes_[SWITCH_SINE_GRAPH]->isChecked();
    thread_->SetSwitch(SWITCH_SINE_GRAPH, on);
    graph_->SetShown(on);
}

void TMainForm::MembershipSwitchClick() {
    const bool on = switch_boxes_[SWITCH_MEMBERSHIP]->isChecked();
    thread_->SetSwitch(SWITCH_MEMBERSHIP, on);
    if (!on) {
        for (NodeWidgets& w : nodes_) {
            for (unsigned k = 0; k < NODE_COUNT; ++k) {
                w.membership[k]->SetColour(RGB_SILVER);
                w.null_frame[k]->SetColour(RGB_SILVER);
            }
        }
    }
}

void TMainForm::StateSwitchClick() {
    const bool on = switch_boxes_[SWITCH_NODE_STATE]->isChecked();
    thread_->SetSwitch(SWITCH_NODE_STATE, on);
    if (!on) {
        for (NodeWidgets& w : nodes_) {
            w.slot_bar->setValue(0);
            w.colour_panel->SetColour(RGB_GREY);
            w.state_label->setText("");
            w.bus_guardian->SetColour(RGB_GREY);
            w.bus_guardian->setText("");
        }
    }
}

void TMainForm::DataSwitchClick() {
    const bool on = switch_boxes_[SWITCH_NODE_DATA]->isChecked();
    thread_->SetSwitch(SWITCH_NODE_DATA, on);
    if (!on) {
        for (NodeWidgets& w : nodes_) {
            for (auto& column : w.data) {
                for (QLabel* label : column) {
                    if (label != nullptr) {
                        label->setText("---");
                    }
                }
            }
        }
        generator_label_->setText(" ---");
    }
}

void TMainForm::ResultsSwitchClick() {
    const bool on = switch_boxes_[SWITCH_RESULTS]->isChecked();
    thread_->SetSwitch(SWITCH_RESULTS, on);
    if (on) {
        SetFieldColour(result_edit_, QApplication::palette().color(QPalette::Base));
    } else {
        SetFieldColour(result_edit_, to_qcolor(RGB_SILVER));
        result_edit_->setText("");
    }
}

void TMainForm::AllOnClick() {
    for (QCheckBox* box : switch_boxes_) {
        box->setChecked(true); // a change runs the box's handler
    }
}

void TMainForm::AllOffClick() {
    for (QCheckBox* box : switch_boxes_) {
        box->setChecked(false);
    }
}

// --- Fault injector -------------------------------------------------------------------------------------

void TMainForm::EffectClick() {
    effect_ = effect_buttons_[0]->isChecked()   ? FAULT_SET
              : effect_buttons_[1]->isChecked() ? FAULT_RESET
                                                : FAULT_FLIP;
    thread_->SetFaultEffect(*effect_);
}

void TMainForm::RateChange() {
    const QString text = rate_edit_->text().trimmed();
    bool ok = false;
    const double rate = text.toDouble(&ok);
    const bool accepted = ok && fault_rate_accepted(rate);
    // A text that is not taken is shown as refused, so nobody believes it runs; an empty field is no entry.
    const bool refused = !accepted && !text.isEmpty();
    SetFieldColour(rate_edit_,
                   refused ? to_qcolor(RGB_REFUSED) : QApplication::palette().color(QPalette::Base));
    rate_edit_->setToolTip(refused ? RATE_REFUSED_TIP : RATE_TIP);
    if (!accepted) {
        return; // the previous rate stays
    }
    rate_ = rate;
    thread_->SetFaultRate(rate);
}

void TMainForm::TargetClick() {
    for (uint32_t i = 0; i < 2; ++i) {
        if (target_buttons_[i]->isChecked()) {
            target_ = i == 0 ? TARGET_CNI : TARGET_REG;
            thread_->SetFaultTarget(*target_);
        }
    }
}

void TMainForm::InjectNowClick() {
    thread_->InjectNow();
}

TObserverForm* TMainForm::Observer() const {
    return observer_.data();
}

TFaultPanel* TMainForm::FaultPanel() const {
    return fault_panel_.data();
}

void TMainForm::FaultPanelClick() {
    if (!fault_panel_) {
        fault_panel_ = new TFaultPanel([this] { return thread_.get(); }, this);
        fault_panel_->setAttribute(Qt::WA_DeleteOnClose);
    }
    fault_panel_->show();
    fault_panel_->raise();
    fault_panel_->activateWindow();
}

QString TMainForm::ScenarioDirectory() const {
    const QString next_to_config = QDir(QString::fromStdString(options_.directory)).filePath("scenarios");
    if (QDir(next_to_config).exists()) {
        return next_to_config;
    }
    // A configuration of the user's own (--dir) has no lessons beside it: those found as the default
    // configuration is found.
    const std::string executable = QCoreApplication::applicationFilePath().toStdString();
    const QString installed =
        QDir(QString::fromStdString(find_configuration_directory(nullptr, executable.c_str())))
            .filePath("scenarios");
    return QDir(installed).exists() ? installed : QString::fromStdString(options_.directory);
}

bool TMainForm::OpenScenario(const QString& path, QString* why) {
    Scenario lesson;
    std::string reason;
    if (!read_scenario(path.toStdString(), &lesson, &reason)) {
        *why = QString::fromStdString(reason);
        return false;
    }
    options_.lesson = std::move(lesson);
    options_.replay.clear(); // a lesson is a run of its own faults, not a replay of a log
    RestartButtonClick();
    return true;
}

void TMainForm::OpenScenarioClick() {
    const QString path =
        QFileDialog::getOpenFileName(observer_ ? static_cast<QWidget*>(observer_) : this, "Open scenario",
                                     ScenarioDirectory(), "Scenarios (*.toml);;All files (*)");
    if (path.isEmpty()) {
        return;
    }
    QString why;
    if (!OpenScenario(path, &why)) {
        QMessageBox::warning(this, "Open scenario", why);
    }
}

void TMainForm::ObserverClick() {
    if (!observer_) {
        observer_ = new TObserverForm([this] { return thread_.get(); }, this);
        observer_->setAttribute(Qt::WA_DeleteOnClose);
        connect(observer_, &TObserverForm::EffectStop, this, &TMainForm::StopButtonClick);
        connect(observer_, &TObserverForm::FaultPanelRequested, this, &TMainForm::FaultPanelClick);
        connect(observer_, &TObserverForm::LessonStop, this, &TMainForm::StopButtonClick);
        connect(observer_, &TObserverForm::ScenarioRequested, this, &TMainForm::OpenScenarioClick);
        connect(observer_, &TObserverForm::StepRequested, this, &TMainForm::StepSlotsClick);
        connect(observer_, &TObserverForm::BackRequested, this, &TMainForm::BackToSlot);
    }
    observer_->show();
    observer_->raise();
    observer_->activateWindow();
}

void TMainForm::AboutButtonClick() {
    TAboutForm about(this);
    about.exec();
}

// --- Kernel errors --------------------------------------------------------------------------------------

void TMainForm::ShowKernelError(uint64_t generation, const QString& message) {
    if (generation != generation_) {
        return; // a simulation that Rewind has replaced
    }
    CloseErrorBox();
    auto* box = new QMessageBox(QMessageBox::Critical, "Orvik Error", message, QMessageBox::Ok, this);
    box->setObjectName("OrvikErrorBox");
    box->setWindowModality(Qt::NonModal); // the window stays usable: Stop, Trace and Rewind work
    connect(box, &QMessageBox::finished, this, [this, generation] { AcknowledgeWhenWaiting(generation); });
    connect(box, &QMessageBox::finished, box, &QObject::deleteLater);
    error_box_ = box;
    box->show();
}

void TMainForm::AcknowledgeWhenWaiting(uint64_t generation) {
    if (generation != generation_ || !thread_) {
        return;
    }
    // The error is announced just before the simulation thread begins to wait; should the box be closed
    // within that instant, the acknowledgement is given once the thread waits.
    if (!thread_->AcknowledgeKernelError()) {
        QTimer::singleShot(ACK_RETRY_MS, this, [this, generation] { AcknowledgeWhenWaiting(generation); });
    }
}

void TMainForm::CloseErrorBox() {
    if (error_box_) {
        error_box_->disconnect(this);
        delete error_box_;
    }
}

// --- Events ---------------------------------------------------------------------------------------------

bool TMainForm::eventFilter(QObject* watched, QEvent* event) {
    // Key preview: the window's own platform window sees every key once, before the focused control.
    if (watched == windowHandle() && event->type() == QEvent::KeyPress) {
        if (access_code_.Feed(static_cast<QKeyEvent*>(event)->key())) {
            cc_limit_label_->show();
            cc_limit_->show();
        }
    }
    return QWidget::eventFilter(watched, event);
}

void TMainForm::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (!key_filter_installed_ && windowHandle() != nullptr) {
        windowHandle()->installEventFilter(this);
        key_filter_installed_ = true;
    }
    if (!placed_on_screen_ && screen() != nullptr) {
        placed_on_screen_ = true;
        // Inside the screen: right and bottom edges first, then top and left not beyond 0.
        const QRect available = screen()->availableGeometry();
        QRect frame = frameGeometry();
        frame.moveRight(std::min(frame.right(), available.right()));
        frame.moveBottom(std::min(frame.bottom(), available.bottom()));
        frame.moveLeft(std::max(frame.left(), available.left()));
        frame.moveTop(std::max(frame.top(), available.top()));
        if (frame.topLeft() != frameGeometry().topLeft()) {
            move(frame.topLeft());
        }
    }
}

void TMainForm::closeEvent(QCloseEvent* event) {
    // The error box and the observer are windows of their own; they go with the main window, so the
    // program ends.
    CloseErrorBox();
    if (observer_) {
        observer_->close();
    }
    if (fault_panel_) {
        fault_panel_->close();
    }
    event->accept();
}

void TMainForm::paintEvent(QPaintEvent*) {
    QPainter p(this);
    // A sunken frame around the scene.
    p.setPen(palette().color(QPalette::Dark));
    p.drawRect(GRAPH_PLACE.adjusted(-1, -1, 0, 0));

    // The two channels, with a stub from each bus guardian to each channel and a joint where they meet.
    // Channel B's stubs are drawn first, so they pass under channel A.
    const QColor channel = to_qcolor(RGB_CHANNEL);
    constexpr int STUB_WIDTH = 3, JOINT = 7;
    const int stub_top = BUS_GUARDIAN_TOP + BUS_GUARDIAN_SIZE.height();
    const auto stub_x = [](unsigned node, unsigned k) {
        return BUS_GUARDIAN_LEFT[node] + (k == 0 ? 22 : 56);
    };
    for (unsigned k : {1u, 0u}) {
        for (unsigned node = 0; node < NODE_COUNT; ++node) {
            p.fillRect(QRect(stub_x(node, k) - 1, stub_top, STUB_WIDTH, CHANNEL_BAR[k].top() - stub_top),
                       channel);
        }
        p.fillRect(CHANNEL_BAR[k], channel);
    }
    for (unsigned k = 0; k < CHANNEL_COUNT; ++k) {
        for (unsigned node = 0; node < NODE_COUNT; ++node) {
            const QRect joint(stub_x(node, k) + 1 - JOINT / 2, CHANNEL_BAR[k].center().y() - JOINT / 2, JOINT,
                              JOINT);
            p.fillRect(joint, channel.darker(130));
        }
    }
    p.setPen(palette().color(QPalette::WindowText));
    p.drawText(QRect(8, 372, 40, 12), Qt::AlignLeft | Qt::AlignVCenter, "A");
    p.drawText(QRect(8, 388, 40, 12), Qt::AlignLeft | Qt::AlignVCenter, "B");
}
