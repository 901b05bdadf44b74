// The observer window: what the faults do, slot by slot. Opened from the main window (F2, or its
// "Observer" button), non-modal and resizable; it remembers nothing between runs of the program.
//
//     top        "Stop on effect", what the last stop was, "Save picture..." (PNG or SVG), "Save events..."
//                (CSV), "Step slot" and "Step round" (the run goes on to the end of the next slot, or of
//                the next four), "Back" to a chosen slot and "Back before the fault" (to the slot before
//                the last injection's; TMainForm::BackToSlot), "Fast" (the run goes unpaced:
//                TOrvikThread::SetUnpaced), "Open scenario...", "Fault panel (F3)" (ui/fault_panel.h);
//                below it the caption of the lesson fault that fired last; below that the cluster mode of
//                the newest slot and, in one line, why a node last left APPLICATION or the membership (the
//                error and the node)
//     why        (a tab at the bottom) every such line kept, with its time and slot
//     lesson     (a tab at the bottom) the lesson's title and description, and every caption that fired,
//                with its time, in a list that keeps them all; where a lesson stopped (on its effect, as
//                "Stop on effect" stops, or at its time) is said at the top
//     middle     the slot timeline (TSlotTimeline) with a scroll bar: it follows the newest slots while the
//                bar is at its right end; dragged left, it shows older ones (the last SLOT_HISTORY slots)
//     bottom     the counters per node, with "Reset"; the injections (their number and the most recent
//                rows, as injections.csv has them: TInjectionTable); a legend of the main window's
//                indicators
//     status     the speed in slots per second (over the last second of wall time), the logs and how
//                large they have grown
//
// Every 200 ms it brings its copy of the slot events up to date through the simulation thread
// (TSineWaveThread::ReadSlotEvents, under the model lock) and shows the copy; it never touches the model and
// never holds the lock while it paints. A refresh costs what arrived since the one before, not what is
// kept: the injection table only gains its new rows, and the timeline is drawn again only when a slot, an
// injection or a stop was added (a stopped run costs nothing). The thread is asked for each time, so after
// Rewind the window follows the new model (and starts its copy afresh). "Stop on effect" is handed to every
// thread the window follows; when the thread has stopped on an effect the window says where and emits
// EffectStop, so the main window can show itself stopped; Run clears what it said (RunStarted). "Fast" is
// handed on likewise. Closing the window turns "Stop on effect" and "Fast" off.
#pragma once

#include "ui/sine_wave_thread.h"

#include <QWidget>

#include <chrono>
#include <functional>
#include <memory>

class QCheckBox;
class QLabel;
class QPushButton;
class QSpinBox;
class QListWidget;
class QTabWidget;
class QScrollBar;
class QTableView;
class QTableWidget;
class QTimer;
class TInjectionTable;
class TSlotTimeline;

class TObserverForm : public QWidget {
    Q_OBJECT
  public:
    /// The simulation thread to follow now (may be null); asked at every refresh.
    using ThreadSource = std::function<TSineWaveThread*()>;
    static constexpr int INJECTION_ROWS = 100;
    static constexpr int REFRESH_MS = 200;

    explicit TObserverForm(ThreadSource source, QWidget* parent = nullptr);
    ~TObserverForm() override;

    /// Brings the copy up to date and shows it.
    void Refresh();
    /// The run goes on: the label of the last stop on an effect is cleared.
    void RunStarted();
    const SlotEventsCopy& Events() const { return *events_; }
    TSlotTimeline* Timeline() const { return timeline_; }

    /// Writes the timeline as a picture: SVG when the name ends in .svg, else PNG. False with a reason.
    bool SavePicture(const QString& path, QString* why);
    /// Writes the slots of the copy as the slot-event CSV. False with a reason.
    bool SaveEvents(const QString& path, QString* why);

  signals:
    /// The run stopped at the end of a slot with an effect.
    void EffectStop();
    /// The run stopped at the lesson's stop_at_us.
    void LessonStop();
    /// "Open scenario..." was clicked: the main window asks for the lesson file and starts it.
    void ScenarioRequested();
    /// "Step slot" or "Step round" was clicked: the main window runs that many slots on.
    void StepRequested(uint32_t count);
    /// "Fault panel (F3)" was clicked: the main window opens the fault panel (ui/fault_panel.h).
    void FaultPanelRequested();
    /// "Back" or "Back before the fault" was clicked: the main window goes back to where `slot` begins.
    void BackRequested(uint64_t slot);

  protected:
    void closeEvent(QCloseEvent* event) override;

  private:
    QWidget* BuildCounters();
    QWidget* BuildInjections();
    QWidget* BuildMainWindowLegend();
    void StopOnEffectClick();
    void FastClick();
    void ResetClick();
    void SavePictureClick();
    void SaveEventsClick();
    void ScrollChanged(int value);
    void ShowScrollRange();
    void ShowCounters();
    void ShowInjections();
    void ShowEffectStop();
    void ShowLogSizes(const TSineWaveThread& thread);
    QWidget* BuildLesson();
    void ShowLesson(const TSineWaveThread& thread);
    void ShowCaptions();
    void ShowSpeed();
    QWidget* BuildReasons();
    /// The slot that holds the last injection (the open one after the newest kept: newest + 1); 0: none.
    uint64_t SlotOfLastInjection() const;
    void ShowBackRange();
    void ShowReasons();

    ThreadSource source_;
    std::unique_ptr<SlotEventsCopy> events_;
    uint64_t shown_effect_stops_ = 0;
    size_t shown_captions_ = 0;
    bool shown_lesson_stop_ = false;
    // What the timeline showed when it was last drawn: it is drawn again when one of them changed.
    uint64_t drawn_slots_ = 0;
    uint64_t drawn_injections_ = 0;
    uint64_t drawn_effect_stops_ = 0;
    bool following_ = true;        // the timeline shows the newest slots
    bool updating_scroll_ = false; // the scroll bar is being set, not dragged

    QTimer* timer_ = nullptr;
    QCheckBox* stop_on_effect_ = nullptr;
    QCheckBox* fast_ = nullptr;
    QSpinBox* back_slot_ = nullptr;
    QPushButton* back_before_fault_ = nullptr;
    QLabel* effect_label_ = nullptr;
    TSlotTimeline* timeline_ = nullptr;
    QScrollBar* scroll_ = nullptr;
    QTableWidget* counters_ = nullptr;
    QLabel* injection_count_ = nullptr;
    TInjectionTable* injection_rows_ = nullptr;
    QTableView* injections_ = nullptr;
    bool injection_columns_sized_ = false; // sized to the first rows, once
    QLabel* log_sizes_ = nullptr;
    QLabel* latest_caption_ = nullptr;
    QLabel* cluster_mode_ = nullptr;
    QLabel* latest_reason_ = nullptr;
    QListWidget* reasons_ = nullptr;
    uint64_t shown_reasons_ = 0;
    QLabel* speed_ = nullptr;
    // The slots closed and the wall clock at the last speed shown (the speed in slots per second).
    uint64_t speed_slots_ = 0;
    std::chrono::steady_clock::time_point speed_since_{};
    QLabel* lesson_title_ = nullptr;
    QListWidget* captions_ = nullptr;
    QTabWidget* tabs_ = nullptr;
};
