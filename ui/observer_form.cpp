#include "ui/observer_form.h"

#include "ui/display_format.h"
#include "ui/injection_table.h"
#include "ui/log_directory.h"
#include "ui/panel_widgets.h"
#include "ui/slot_timeline.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QFileDialog>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QImage>
#include <QLabel>
#include <QListWidget>
#include <QMessageBox>
#include <QPainter>
#include <QPushButton>
#include <QSaveFile>
#include <QScrollBar>
#include <QSpinBox>
#include <QStringList>
#include <QSvgGenerator>
#include <QTabWidget>
#include <QTableView>
#include <QTableWidget>
#include <QTimer>
#include <QVBoxLayout>

#include <climits>

namespace {

constexpr const char* CAPTION = "Observer - what the faults do";
constexpr QSize INITIAL_SIZE(1000, 700);
constexpr int COUNTER_COLUMN_WIDTH = 84;
constexpr const char* BACK_SLOT_WIDEST = "slot 99999999"; // the widest number the slot box shows in full
constexpr int BACK_SLOT_ARROWS_WIDTH = 30;                // the box's up and down arrows and its frame

/// The counter rows: caption and what it counts.
struct CounterRow {
    const char* caption;
    const char* tip;
};
constexpr CounterRow COUNTER_ROWS[] = {
    {"Controller starts", "Times the controller entered INIT (switched on by its host)"},
    {"Freezes", "Times the controller entered FREEZE"},
    {"Left membership", "Times the other nodes stopped counting this node as a member"},
    {"Re-entered membership", "Times the other nodes counted it as a member again after it had left"},
    {"Bus guardian failures", "Node Failures of the node's bus guardian"},
};
constexpr int FIRST_ERROR_ROW = static_cast<int>(std::size(COUNTER_ROWS));
constexpr int WORST_ROW = FIRST_ERROR_ROW + static_cast<int>(ERROR_KIND_COUNT);
constexpr int COUNTER_ROW_COUNT = WORST_ROW + 1;

constexpr const char* ERROR_TIPS[ERROR_KIND_COUNT] = {
    "\"Clock Synchronization Error\": a correction above 0.45 macroticks (protocol error, freeze)",
    "The implicit acknowledgement failed (READY), \"Membership Error\" (too many membership failures, "
    "freeze) or the channels disagreed on it (BIST error, freeze)",
    "\"Communication Blackout Error\": nothing counted during a whole TDMA round (protocol error, freeze)",
    "\"Acknowlegment Error\" of the clique check: failed + invalid slots not below agreed (protocol error, "
    "freeze)",
    "\"Bus Guardian Error\": the guardian failed or refused a frame (protocol error, freeze)",
    "\"NBW Protocol Error\": a message to send was not marked valid (host error, passive)",
    "\"Mode Violation Error\": a mode change request not permitted (host error, passive)",
    "\"Slot Occupied Error\": the slot was taken on reintegration (host error, passive)",
    "No host life sign at the node's own slot (passive)",
};

/// What the main window's indicators mean.
constexpr const char* MAIN_WINDOW_LEGEND =
    "<table cellspacing='4'>"
    "<tr><td><b>Node panel colour</b></td><td>the controller's protocol state, in the colours of the "
    "timeline's legend</td></tr>"
    "<tr><td><b>Membership</b></td><td>circle k: green when the node's C-state counts membership position k "
    "(M1, M2, O1, O2 from the left) as a member, red when it does not</td></tr>"
    "<tr><td><b>Null Frame</b></td><td>circle k: green when in the last slot of position k nothing arrived "
    "on either channel (a null frame), red when something did. Both rows are silver while \"Memb./Null.\" "
    "is off</td></tr>"
    "<tr><td><b>Slot offset bar</b></td><td>how far the node's slot start lies from O2's: one tick is 10 ns, "
    "early upwards, late downwards, 40 ns at the ends; O2's own bar stays at 0</td></tr>"
    "<tr><td><b>Node data</b></td><td>the values the node holds of the measurement messages: one column per "
    "sender (M1, M2, O1 from the left), the channel A message above, the channel B message below; O2 shows "
    "only its own two messages. Empty: the value lies outside -1 .. 1 or is not a number</td></tr>"
    "<tr><td><b>Bus guardian</b></td><td>the state of the node's bus guardian: Arm (light blue), Start Timer "
    "(yellow), Enable (green, the window is open), Disable (orange), Node Failure (red)</td></tr>"
    "<tr><td><b>Laser hit / mis</b></td><td>shots of the laser that hit or missed the target</td></tr>"
    "<tr><td><b>Time to shoot</b></td><td>O2's vote of the time to shoot (with \"Results\" on)</td></tr>"
    "</table>";

QTableWidgetItem* read_only_item(const QString& text) {
    auto* item = new QTableWidgetItem(text);
    item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable);
    return item;
}

} // namespace

TObserverForm::TObserverForm(ThreadSource source, QWidget* parent)
    : QWidget(parent, Qt::Window), source_(std::move(source)), events_(std::make_unique<SlotEventsCopy>()) {
    setObjectName("ObserverForm");
    setWindowTitle(CAPTION);

    auto* top = new QHBoxLayout;
    stop_on_effect_ = new QCheckBox("Stop on effect", this);
    stop_on_effect_->setObjectName("StopOnEffect");
    stop_on_effect_->setToolTip(
        "Stop the run at the end of the first slot in which a node leaves APPLICATION, a node freezes, "
        "a bus guardian fails or a membership vector changes; go on with Trace or Run");
    connect(stop_on_effect_, &QCheckBox::toggled, this, &TObserverForm::StopOnEffectClick);
    effect_label_ = new QLabel(this);
    effect_label_->setObjectName("EffectLabel");
    auto* save_picture = new QPushButton("Save picture...", this);
    save_picture->setToolTip("The timeline as PNG or SVG");
    connect(save_picture, &QPushButton::clicked, this, &TObserverForm::SavePictureClick);
    auto* save_events = new QPushButton("Save events...", this);
    save_events->setToolTip(
        "The slots kept (slot start, node, state, sent, verdict, membership, injection) as CSV");
    connect(save_events, &QPushButton::clicked, this, &TObserverForm::SaveEventsClick);
    top->addWidget(stop_on_effect_);
    top->addWidget(effect_label_, 1);
    top->addWidget(save_picture);
    top->addWidget(save_events);
    auto* step_slot = new QPushButton("Step slot", this);
    step_slot->setObjectName("StepSlotButton");
    step_slot->setToolTip("Run on to the end of the next slot");
    connect(step_slot, &QPushButton::clicked, this, [this] { emit StepRequested(1); });
    top->addWidget(step_slot);
    auto* step_round = new QPushButton("Step round", this);
    step_round->setObjectName("StepRoundButton");
    step_round->setToolTip("Run on to the end of the next TDMA round: one slot of each node");
    connect(step_round, &QPushButton::clicked, this, [this] { emit StepRequested(SLOTS_PER_ROUND); });
    top->addWidget(step_round);
    back_slot_ = new QSpinBox(this);
    back_slot_->setObjectName("BackSlot");
    back_slot_->setPrefix("slot ");
    back_slot_->setRange(1, 1);
    // Wide enough for the slots of hours of running, so the number is not cut off as the run grows.
    back_slot_->setMinimumWidth(back_slot_->fontMetrics().horizontalAdvance(BACK_SLOT_WIDEST) +
                                BACK_SLOT_ARROWS_WIDTH);
    back_slot_->setToolTip("The slot \"Back\" goes to: the run is replayed from time 0 and stops where it "
                           "begins");
    auto* back = new QPushButton("Back", this);
    back->setObjectName("BackButton");
    back->setToolTip("Go back to the start of the slot chosen beside, replaying the run's own faults");
    connect(back, &QPushButton::clicked, this,
            [this] { emit BackRequested(static_cast<uint64_t>(back_slot_->value())); });
    back_before_fault_ = new QPushButton("Back before the fault", this);
    back_before_fault_->setObjectName("BackBeforeFault");
    back_before_fault_->setToolTip("Go back to the slot before the one of the last injection");
    back_before_fault_->setEnabled(false);
    connect(back_before_fault_, &QPushButton::clicked, this, [this] {
        const uint64_t slot = SlotOfLastInjection();
        if (slot != 0) {
            emit BackRequested(slot > 1 ? slot - 1 : 1);
        }
    });
    top->addWidget(back_slot_);
    top->addWidget(back);
    top->addWidget(back_before_fault_);
    fast_ = new QCheckBox("Fast", this);
    fast_->setObjectName("FastMode");
    fast_->setToolTip("Run unpaced, as fast as the machine goes, the windows refreshed every 200 ms; "
                      "the speed slider sets the pace again when it is off");
    connect(fast_, &QCheckBox::toggled, this, &TObserverForm::FastClick);
    top->addWidget(fast_);
    auto* open_scenario = new QPushButton("Open scenario...", this);
    open_scenario->setObjectName("OpenScenarioButton");
    open_scenario->setToolTip("Start a lesson: its faults, their captions and where it stops");
    connect(open_scenario, &QPushButton::clicked, this, &TObserverForm::ScenarioRequested);
    top->addWidget(open_scenario);
    auto* fault_panel = new QPushButton("Fault panel (F3)", this);
    fault_panel->setObjectName("FaultPanelButton");
    fault_panel->setToolTip("Choose a fault of any kind, where it strikes, and inject it now");
    connect(fault_panel, &QPushButton::clicked, this, &TObserverForm::FaultPanelRequested);
    top->addWidget(fault_panel);

    timeline_ = new TSlotTimeline(this);
    timeline_->SetEvents(events_.get());
    scroll_ = new QScrollBar(Qt::Horizontal, this);
    scroll_->setObjectName("TimelineScroll");
    connect(scroll_, &QScrollBar::valueChanged, this, &TObserverForm::ScrollChanged);

    latest_caption_ = new QLabel(this);
    latest_caption_->setObjectName("LatestCaption");
    latest_caption_->setWordWrap(true);
    QFont bold = latest_caption_->font();
    bold.setBold(true);
    latest_caption_->setFont(bold);

    cluster_mode_ = new QLabel(this);
    cluster_mode_->setObjectName("ClusterMode");
    cluster_mode_->setToolTip("The cluster mode in the nodes' C-states at the end of the newest slot");
    latest_reason_ = new QLabel(this);
    latest_reason_->setObjectName("LatestReason");
    latest_reason_->setToolTip("Why a node last left APPLICATION or the membership; all of them in \"Why\"");
    auto* why_row = new QHBoxLayout;
    why_row->addWidget(cluster_mode_);
    why_row->addWidget(latest_reason_, 1);

    tabs_ = new QTabWidget(this);
    tabs_->addTab(BuildInjections(), "Injections");
    tabs_->addTab(BuildReasons(), "Why");
    tabs_->addTab(BuildLesson(), "Lesson");
    tabs_->addTab(BuildMainWindowLegend(), "Main window legend");
    auto* bottom = new QHBoxLayout;
    bottom->addWidget(BuildCounters());
    bottom->addWidget(tabs_, 1);

    log_sizes_ = new QLabel(this);
    log_sizes_->setObjectName("LogSizes");
    log_sizes_->setWordWrap(true);
    speed_ = new QLabel("0 slots/s", this);
    speed_->setObjectName("SlotSpeed");
    speed_->setToolTip("Slots the run has closed per second of wall time");
    auto* status = new QHBoxLayout;
    status->addWidget(speed_);
    status->addWidget(log_sizes_, 1);

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addWidget(latest_caption_);
    layout->addLayout(why_row);
    layout->addWidget(timeline_);
    layout->addWidget(scroll_);
    layout->addLayout(bottom, 1);
    layout->addLayout(status);
    resize(INITIAL_SIZE);

    timer_ = new QTimer(this);
    timer_->setInterval(REFRESH_MS);
    connect(timer_, &QTimer::timeout, this, &TObserverForm::Refresh);
    timer_->start();
    Refresh();
}

TObserverForm::~TObserverForm() = default;

QWidget* TObserverForm::BuildCounters() {
    auto* box = new QGroupBox("Counters since Rewind or Reset", this);
    counters_ = new QTableWidget(COUNTER_ROW_COUNT, NODE_COUNT, box);
    counters_->setObjectName("Counters");
    QStringList nodes;
    for (const NodeNames& n : CLUSTER_NODES) {
        nodes << n.name;
    }
    counters_->setHorizontalHeaderLabels(nodes);
    for (int row = 0; row < COUNTER_ROW_COUNT; ++row) {
        QString caption;
        QString tip;
        if (row < FIRST_ERROR_ROW) {
            caption = COUNTER_ROWS[row].caption;
            tip = COUNTER_ROWS[row].tip;
        } else if (row < WORST_ROW) {
            caption = QString("Error: ") + error_kind_name(static_cast<unsigned>(row - FIRST_ERROR_ROW));
            tip = ERROR_TIPS[row - FIRST_ERROR_ROW];
        } else {
            caption = "Worst state";
            tip = "The worst state the node reached since the last Reset (sticky)";
        }
        auto* header = new QTableWidgetItem(caption);
        header->setToolTip(tip);
        counters_->setVerticalHeaderItem(row, header);
        for (unsigned n = 0; n < NODE_COUNT; ++n) {
            counters_->setItem(row, static_cast<int>(n), read_only_item("0"));
            counters_->item(row, static_cast<int>(n))->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
        }
    }
    for (unsigned n = 0; n < NODE_COUNT; ++n) {
        counters_->setColumnWidth(static_cast<int>(n), COUNTER_COLUMN_WIDTH);
    }
    counters_->verticalHeader()->setDefaultSectionSize(counters_->fontMetrics().height() + 4);
    counters_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    counters_->setSizeAdjustPolicy(QAbstractScrollArea::AdjustToContents);
    auto* reset = new QPushButton("Reset", box);
    reset->setObjectName("ResetCounters");
    reset->setToolTip("All counters to 0; the worst state becomes the present one");
    connect(reset, &QPushButton::clicked, this, &TObserverForm::ResetClick);
    auto* layout = new QVBoxLayout(box);
    layout->addWidget(counters_, 1);
    layout->addWidget(reset, 0, Qt::AlignLeft);
    return box;
}

QWidget* TObserverForm::BuildInjections() {
    auto* page = new QWidget(this);
    injection_count_ = new QLabel("Injections: 0", page);
    injection_count_->setObjectName("InjectionCount");
    injection_rows_ = new TInjectionTable(INJECTION_ROWS, this);
    injections_ = new QTableView(page);
    injections_->setObjectName("Injections");
    injections_->setModel(injection_rows_);
    injections_->verticalHeader()->hide();
    // Fixed row heights and columns sized once: measuring every row at each refresh is what froze the
    // window under a stream of faults.
    injections_->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    injections_->verticalHeader()->setDefaultSectionSize(injections_->fontMetrics().height() + 4);
    injections_->horizontalHeader()->setSectionResizeMode(QHeaderView::Interactive);
    injections_->horizontalHeader()->setStretchLastSection(true);
    injections_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    auto* layout = new QVBoxLayout(page);
    layout->addWidget(injection_count_);
    layout->addWidget(injections_, 1);
    return page;
}

QWidget* TObserverForm::BuildReasons() {
    reasons_ = new QListWidget(this);
    reasons_->setObjectName("Reasons");
    return reasons_;
}

void TObserverForm::ShowReasons() {
    const auto& columns = events_->columns;
    cluster_mode_->setText(columns.total == 0
                               ? QString("Cluster mode: none yet")
                               : QString::fromStdString(cluster_mode_text(columns.at(columns.total))));
    const auto& reasons = events_->reasons;
    if (shown_reasons_ == reasons.total) {
        return;
    }
    shown_reasons_ = std::max(shown_reasons_, reasons.first() - 1); // what fell out is not shown
    for (; shown_reasons_ < reasons.total; ++shown_reasons_) {
        const ReasonLine& r = reasons.at(shown_reasons_ + 1);
        const QString line = QString("%1 s (slot %2): %3")
                                 .arg(r.time_us / 1e6, 0, 'f', 6)
                                 .arg(r.slot)
                                 .arg(QString::fromStdString(r.text));
        reasons_->addItem(line);
        latest_reason_->setText(line);
    }
    while (reasons_->count() > static_cast<int>(REASON_HISTORY)) {
        delete reasons_->takeItem(0); // the list keeps what the copy keeps
    }
    reasons_->scrollToBottom();
}

QWidget* TObserverForm::BuildMainWindowLegend() {
    auto* legend = new QLabel(MAIN_WINDOW_LEGEND, this);
    legend->setObjectName("MainWindowLegend");
    legend->setWordWrap(true);
    legend->setAlignment(Qt::AlignTop | Qt::AlignLeft);
    legend->setTextFormat(Qt::RichText);
    return legend;
}

// --- Refresh ---------------------------------------------------------------------------------------------

void TObserverForm::Refresh() {
    TSineWaveThread* thread = source_ ? source_() : nullptr;
    if (thread == nullptr) {
        return;
    }
    const uint64_t model = events_->model;
    thread->ReadSlotEvents(events_.get());
    if (events_->model != model) {
        // Another model (Rewind, a lesson): it starts with no stops, injections or captions shown.
        thread->SetStopOnEffect(stop_on_effect_->isChecked());
        thread->SetUnpaced(fast_->isChecked());
        shown_captions_ = 0;
        shown_lesson_stop_ = false;
        captions_->clear();
        latest_caption_->clear();
        ShowLesson(*thread);
        shown_effect_stops_ = 0;
        shown_reasons_ = 0;
        reasons_->clear();
        latest_reason_->clear();
        drawn_slots_ = drawn_injections_ = drawn_effect_stops_ = 0;
        injection_rows_->Clear();
        effect_label_->clear();
        timeline_->update();
    }
    ShowScrollRange();
    if (events_->columns.total != drawn_slots_ || events_->injections.total != drawn_injections_ ||
        events_->effect_stops != drawn_effect_stops_) {
        drawn_slots_ = events_->columns.total;
        drawn_injections_ = events_->injections.total;
        drawn_effect_stops_ = events_->effect_stops;
        timeline_->update();
    }
    ShowCounters();
    ShowInjections();
    ShowEffectStop();
    ShowCaptions();
    ShowReasons();
    ShowBackRange();
    ShowSpeed();
    ShowLogSizes(*thread);
    const QString failure = QString::fromStdString(thread->ReplayFailure());
    if (!failure.isEmpty() && effect_label_->text() != failure) {
        effect_label_->setText(failure); // the run stopped there: said for as long as it stands
    }
}

uint64_t TObserverForm::SlotOfLastInjection() const {
    const auto& injections = events_->injections;
    const auto& columns = events_->columns;
    if (injections.total == 0 || !injections.has(injections.total)) {
        return 0;
    }
    const double time = injections.at(injections.total).time;
    for (uint64_t number = columns.total; number >= columns.first() && number > 0; --number) {
        const SlotColumn& column = columns.at(number);
        if (column.start_us - SLOT_EDGE_US <= time) {
            // Closed by then, the injection belongs to the slot after it.
            return time >= column.end_us - SLOT_EDGE_US ? number + 1 : number;
        }
    }
    return columns.first(); // older than the slots kept: the oldest is as far back as the window shows
}

void TObserverForm::ShowBackRange() {
    const int newest = static_cast<int>(std::min<uint64_t>(events_->columns.total + 1, INT_MAX));
    if (back_slot_->maximum() != newest) {
        const bool at_end = back_slot_->value() == back_slot_->maximum();
        back_slot_->setMaximum(newest);
        if (at_end) {
            back_slot_->setValue(newest);
        }
    }
    back_before_fault_->setEnabled(events_->injections.total > 0);
}

void TObserverForm::ShowSpeed() {
    const auto now = std::chrono::steady_clock::now();
    const uint64_t closed = events_->columns.total;
    if (closed < speed_slots_) {
        speed_slots_ = closed; // another model
    }
    const double seconds = std::chrono::duration<double>(now - speed_since_).count();
    if (seconds < 1.0) {
        return; // a second's slots make a steady figure
    }
    const double rate = speed_since_ == std::chrono::steady_clock::time_point{}
                            ? 0.0
                            : static_cast<double>(closed - speed_slots_) / seconds;
    speed_->setText(QString("%1 slots/s").arg(rate, 0, 'f', 0));
    speed_slots_ = closed;
    speed_since_ = now;
}

QWidget* TObserverForm::BuildLesson() {
    auto* page = new QWidget(this);
    auto* layout = new QVBoxLayout(page);
    lesson_title_ = new QLabel("No lesson: open one with \"Open scenario...\"", page);
    lesson_title_->setObjectName("LessonTitle");
    lesson_title_->setWordWrap(true);
    captions_ = new QListWidget(page);
    captions_->setObjectName("Captions");
    layout->addWidget(lesson_title_);
    layout->addWidget(captions_, 1);
    return page;
}

void TObserverForm::ShowLesson(const TSineWaveThread& thread) {
    const Scenario& lesson = thread.Options().lesson;
    if (lesson.title.empty()) {
        lesson_title_->setText("No lesson: open one with \"Open scenario...\"");
        return;
    }
    QString text = QString("<b>%1</b>").arg(QString::fromStdString(lesson.title).toHtmlEscaped());
    if (!lesson.description.empty()) {
        text += "<br>" + QString::fromStdString(lesson.description).toHtmlEscaped();
    }
    lesson_title_->setText(text);
}

void TObserverForm::ShowCaptions() {
    const std::vector<LessonCaption>& captions = events_->captions;
    for (; shown_captions_ < captions.size(); ++shown_captions_) {
        const LessonCaption& c = captions[shown_captions_];
        const QString line =
            QString("%1 s: %2").arg(c.time_us / 1e6, 0, 'f', 6).arg(QString::fromStdString(c.text));
        captions_->addItem(line);
        captions_->scrollToBottom();
        latest_caption_->setText(line);
    }
    if (events_->lesson_time_stop && !shown_lesson_stop_) {
        shown_lesson_stop_ = true;
        effect_label_->setText(QString("Stopped at %1 s, where the lesson ends; Run goes on")
                                   .arg(events_->sim_time / 1e6, 0, 'f', 6));
        emit LessonStop();
    }
}

void TObserverForm::RunStarted() {
    effect_label_->clear();
}

void TObserverForm::ShowLogSizes(const TSineWaveThread& thread) {
    const SineThreadOptions& options = thread.Options();
    const QString text = QString::fromStdString(log_sizes_text(options.trace_file, options.injection_log));
    if (text != log_sizes_->text()) {
        log_sizes_->setText(text);
    }
}

void TObserverForm::ShowScrollRange() {
    const auto& columns = events_->columns;
    const int visible = timeline_->VisibleSlots();
    const uint64_t newest_first = columns.total > static_cast<uint64_t>(visible)
                                      ? columns.total - static_cast<uint64_t>(visible) + 1
                                      : 1;
    const uint64_t oldest = std::min(columns.first(), newest_first);
    // The bar counts slots from the oldest kept, so its range stays small whatever the run length.
    updating_scroll_ = true;
    scroll_->setRange(0, static_cast<int>(std::max<uint64_t>(newest_first, oldest) - oldest));
    scroll_->setPageStep(visible);
    if (following_) {
        scroll_->setValue(scroll_->maximum());
        timeline_->SetFirstSlot(0);
    } else {
        const uint64_t first = std::max(timeline_->FirstSlot(), oldest);
        scroll_->setValue(static_cast<int>(first - oldest));
        timeline_->SetFirstSlot(first);
    }
    updating_scroll_ = false;
}

void TObserverForm::ScrollChanged(int value) {
    if (updating_scroll_) {
        return;
    }
    following_ = value >= scroll_->maximum();
    const uint64_t oldest = events_->columns.first();
    timeline_->SetFirstSlot(following_ ? 0 : oldest + static_cast<uint64_t>(value));
}

void TObserverForm::ShowCounters() {
    for (unsigned n = 0; n < NODE_COUNT; ++n) {
        const NodeCounters& k = events_->counters[n];
        const uint32_t values[] = {k.starts, k.freezes, k.left, k.reentered, k.guardian_failures};
        const int column = static_cast<int>(n);
        for (int row = 0; row < FIRST_ERROR_ROW; ++row) {
            counters_->item(row, column)->setText(QString::number(values[row]));
        }
        for (unsigned kind = 0; kind < ERROR_KIND_COUNT; ++kind) {
            counters_->item(FIRST_ERROR_ROW + static_cast<int>(kind), column)
                ->setText(QString::number(k.errors[kind]));
        }
        QTableWidgetItem* worst = counters_->item(WORST_ROW, column);
        worst->setText(state_caption(k.worst));
        worst->setBackground(
            k.worst == STATE_NONE ? QBrush() : QBrush(to_qcolor(protocol_state_display(k.worst).colour)));
        worst->setForeground(Qt::black);
    }
}

void TObserverForm::ShowInjections() {
    const auto& log = events_->injections;
    injection_count_->setText(QString("Injections: %1").arg(log.total));
    injection_rows_->CatchUp(log);
    if (!injection_columns_sized_ && injection_rows_->rowCount() > 0) {
        injection_columns_sized_ = true;
        injections_->resizeColumnsToContents(); // once; the user may widen them from then on
    }
}

void TObserverForm::ShowEffectStop() {
    if (events_->effect_stops == shown_effect_stops_) {
        return;
    }
    shown_effect_stops_ = events_->effect_stops;
    const uint64_t number = events_->effect_column;
    QString what;
    if (events_->columns.has(number)) {
        const SlotColumn& column = events_->columns.at(number);
        QStringList effects;
        for (unsigned n = 0; n < NODE_COUNT; ++n) {
            const bool was_application = events_->columns.has(number - 1) &&
                                         events_->columns.at(number - 1).cells[n].state == PS_APPLICATION;
            const SlotCell& cell = column.cells[n];
            if (was_application && cell.worst != PS_APPLICATION) {
                effects << QString("%1 left Application (%2)")
                               .arg(CLUSTER_NODES[n].name, state_caption(cell.worst));
            } else if ((cell.events & CELL_FROZE) != 0) {
                effects << QString("%1 froze").arg(CLUSTER_NODES[n].name);
            }
            if ((cell.events & CELL_GUARDIAN_FAILED) != 0) {
                effects << QString("%1's bus guardian failed").arg(CLUSTER_NODES[n].name);
            }
        }
        if ((column.flags & COLUMN_MEMBERSHIP_CHANGED) != 0) {
            effects << "a membership vector changed";
        }
        what = QString(" (%1 us): %2").arg(column.end_us, 0, 'f', 4).arg(effects.join(", "));
    }
    effect_label_->setText(QString("Stopped at the end of slot %1%2").arg(number).arg(what));
    emit EffectStop();
}

// --- Controls --------------------------------------------------------------------------------------------

void TObserverForm::StopOnEffectClick() {
    if (TSineWaveThread* thread = source_ ? source_() : nullptr) {
        thread->SetStopOnEffect(stop_on_effect_->isChecked());
    }
}

void TObserverForm::FastClick() {
    if (TSineWaveThread* thread = source_ ? source_() : nullptr) {
        thread->SetUnpaced(fast_->isChecked());
    }
}

void TObserverForm::ResetClick() {
    if (TSineWaveThread* thread = source_ ? source_() : nullptr) {
        thread->ResetSlotCounters();
    }
    Refresh();
}

void TObserverForm::SavePictureClick() {
    const QString path = QFileDialog::getSaveFileName(this, "Save the timeline", "timeline.png",
                                                      "PNG picture (*.png);;SVG drawing (*.svg)");
    QString why;
    if (!path.isEmpty() && !SavePicture(path, &why)) {
        QMessageBox::warning(this, CAPTION, why);
    }
}

void TObserverForm::SaveEventsClick() {
    const QString path =
        QFileDialog::getSaveFileName(this, "Save the slot events", "slot-events.csv", "CSV file (*.csv)");
    QString why;
    if (!path.isEmpty() && !SaveEvents(path, &why)) {
        QMessageBox::warning(this, CAPTION, why);
    }
}

bool TObserverForm::SavePicture(const QString& path, QString* why) {
    const QSize size = timeline_->size();
    if (path.endsWith(".svg", Qt::CaseInsensitive)) {
        QSvgGenerator svg;
        svg.setFileName(path);
        svg.setSize(size);
        svg.setViewBox(QRect(QPoint(0, 0), size));
        svg.setTitle("Pelorin slot timeline");
        QPainter p;
        if (!p.begin(&svg)) {
            *why = path + ": cannot be written";
            return false;
        }
        timeline_->Render(p, size);
        return p.end();
    }
    QImage image(size, QImage::Format_RGB32);
    QPainter p(&image);
    timeline_->Render(p, size);
    p.end();
    if (!image.save(path, "PNG")) {
        *why = path + ": cannot be written";
        return false;
    }
    return true;
}

bool TObserverForm::SaveEvents(const QString& path, QString* why) {
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Text)) {
        *why = path + ": " + file.errorString();
        return false;
    }
    std::string text = std::string(SLOT_EVENTS_CSV_HEADER) + "\n";
    const auto& columns = events_->columns;
    for (uint64_t number = columns.first(); number <= columns.total; ++number) {
        text += slot_event_csv_rows(columns.at(number), events_->injections);
    }
    if (file.write(text.data(), static_cast<qint64>(text.size())) != static_cast<qint64>(text.size()) ||
        !file.commit()) {
        *why = path + ": " + file.errorString();
        return false;
    }
    return true;
}

void TObserverForm::closeEvent(QCloseEvent* event) {
    // A run must not stop, nor race, for a reason no window shows.
    stop_on_effect_->setChecked(false);
    fast_->setChecked(false);
    event->accept();
}
