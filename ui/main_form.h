// The main window: the cluster view (laser scene, node panels with their state, membership, null-frame and
// slot-offset indicators, node data, bus guardians, channels, laser counters and results) and the controls
// (run, stop, trace, rewind, speed, visualisation switches, the hidden cluster-cycle limit, the fault
// injector, About).
//
// The window owns the simulation thread. It never reads the model: every 200 ms it copies the thread's
// snapshot and shows it (Refresh), and its commands reach the model through the thread. The node panels
// and bus guardian labels show the worst state since the previous refresh (the snapshot's worst states),
// in the state tables' captions and colours, so a freeze or a guardian failure between two refreshes is
// seen for one refresh. Waiting for the simulation to park (Stop, Trace, Rewind, the cycle limit) keeps the
// window painting, and returns at once while a kernel error box is open (the simulation is still then).
//
// Kernel errors arrive from the simulation thread as a posted call; each opens an "Orvik Error" box that
// does not block the window, and closing it acknowledges the error so the simulation goes on. A box of a
// simulation that Rewind has replaced acknowledges nothing.
//
// The client area is 792 x 573 (an outer size of 800 x 600 with the usual frame), laid out by fixed
// coordinates. The observer window (ui/observer_form.h) opens with F2 or the "Observer" button in the free
// space at the lower right; when it has stopped the run on an effect, the window shows itself stopped. The
// fault panel (ui/fault_panel.h), a window of its own, opens with F3 from either window.
#pragma once

#include "ui/display_format.h"
#include "ui/sine_wave_thread.h"

#include <QImage>
#include <QPointer>
#include <QWidget>

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>

class QCheckBox;
class QLabel;
class QLineEdit;
class QMessageBox;
class QPushButton;
class QRadioButton;
class QSlider;
class QSpinBox;
class QTimer;
class TCircle;
class TColourLabel;
class TColourPanel;
class TFaultPanel;
class TObserverForm;
class TSceneBox;

constexpr int FORM_CLIENT_WIDTH = 792;
constexpr int FORM_CLIENT_HEIGHT = 573;
constexpr int REFRESH_INTERVAL_MS = 200;
constexpr const char* FORM_CAPTION = "TTP/C Cluster - Sine Wave Application";
constexpr const char* ACCESS_CODE = "QZKV";

/// Shows the start-up error box (the fixed text, then the precise reason) over `parent` (may be null).
void show_startup_error(QWidget* parent, const std::string& reason);

class TMainForm : public QWidget {
    Q_OBJECT
  public:
    using Clock = std::function<std::chrono::steady_clock::time_point()>;

    /// Takes over a thread whose model was built; Rewind builds new ones with the same options.
    TMainForm(SineThreadOptions options, TSineWaveThread::Ptr thread, QWidget* parent = nullptr);
    ~TMainForm() override;

    TSineWaveThread* Thread() const { return thread_.get(); }
    /// The observer window while it is open, else null.
    TObserverForm* Observer() const;
    /// The fault panel, when open (F3).
    TFaultPanel* FaultPanel() const;
    /// Starts a lesson: a fresh model (as Rewind) whose run has the lesson's faults and stop rule; Rewind
    /// then starts the same lesson again. A file that cannot be used changes nothing: false with why.
    bool OpenScenario(const QString& path, QString* why);
    /// Where "Open scenario..." starts: the lessons next to the configuration, else those installed.
    QString ScenarioDirectory() const;

    /// Copies the snapshot and shows it.
    void Refresh();
    /// Shows a snapshot as Refresh does, at wall-clock time `now`.
    void ShowSnapshot(const SineSnapshot& snapshot, std::chrono::steady_clock::time_point now);
    /// The wall clock of the speed display (tests give their own); restarts the speed reference.
    void SetClock(Clock clock);

    const QImage& SceneImage() const { return scene_; }
    bool HitFlag() const { return hit_flag_; }

  public slots:
    void RunButtonClick();
    void StopButtonClick();
    void TraceButtonClick();
    void RestartButtonClick();
    void AboutButtonClick();
    void InjectNowClick();
    /// Opens the observer window (F2), or brings it to the front.
    void ObserverClick();
    void FaultPanelClick();
    void OpenScenarioClick();
    /// The observer's "Step slot" and "Step round": runs on until that many slots have closed.
    void StepSlotsClick(uint32_t count);
    /// The observer's "Back": the model goes back to a point it kept of itself (TSineWaveThread, "Back
    /// points") or, where none serves, a new model replays this run's own rows from time 0 ("Going back");
    /// either runs unpaced and stops where `slot` (1 = the run's first) begins; Run then goes on with the
    /// same run. Rewind still starts afresh from the files.
    void BackToSlot(uint64_t slot);
    void AllOnClick();
    void AllOffClick();

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

  private:
    struct NodeWidgets {
        TColourPanel* colour_panel;
        QLabel* state_label;
        TCircle* membership[NODE_COUNT];
        TCircle* null_frame[NODE_COUNT];
        QSlider* slot_bar;
        QLabel* data[3][2]; // [column][row]; O2 has only column 2
        TColourLabel* bus_guardian;
    };

    void BuildView();
    void BuildNodePanel(unsigned node);
    void BuildControlColumn();
    void BuildFaultInjectorBox();
    void ConnectThread();
    void ApplySettings();
    /// Stops and destroys the thread and builds one with `options`; false (and the program ends) when
    /// the configuration can no longer be built.
    bool ReplaceThread(const SineThreadOptions& options);

    void SlowTrackBarChange();
    void GraphSwitchClick();
    void MembershipSwitchClick();
    void StateSwitchClick();
    void DataSwitchClick();
    void ResultsSwitchClick();
    void CCLimitChange();
    void EffectClick();
    void RateChange();
    void TargetClick();

    /// Waits until the simulation is parked (or awaits acknowledgement of an error), painting meanwhile.
    void WaitUntilStopped();
    void ShowKernelError(uint64_t generation, const QString& message);
    void AcknowledgeWhenWaiting(uint64_t generation);
    void CloseErrorBox();
    void ResetReferences();

    void ShowNodeState(const SineSnapshot& s);
    void ShowMembership(const SineSnapshot& s);
    void ShowNodeData(const SineSnapshot& s);
    void SetFieldColour(QWidget* field, QColor colour);

    SineThreadOptions options_;
    TSineWaveThread::Ptr thread_;
    uint64_t generation_ = 0; // counts the threads this window has had
    Clock clock_;

    SineSnapshot snapshot_{};
    uint32_t last_hits_ = 0;
    bool hit_flag_ = false;
    uint32_t last_cycles_ = 0;
    std::chrono::steady_clock::time_point speed_wall_{};
    double speed_sim_ = 0.0;
    bool in_refresh_ = false;
    AccessCode access_code_{ACCESS_CODE};
    bool key_filter_installed_ = false;
    bool placed_on_screen_ = false;
    QImage scene_;

    // The fault injector settings chosen so far (none at start), applied again to a rewound model.
    std::optional<uint8_t> effect_;
    std::optional<double> rate_;
    std::optional<uint32_t> target_;

    QTimer* update_timer_ = nullptr;
    QPointer<QMessageBox> error_box_;
    QPointer<TObserverForm> observer_;
    QPointer<TFaultPanel> fault_panel_;

    TSceneBox* graph_ = nullptr;
    QLabel* generator_label_ = nullptr;
    QLineEdit* hits_edit_ = nullptr;
    QLineEdit* misses_edit_ = nullptr;
    QLineEdit* result_edit_ = nullptr;
    NodeWidgets nodes_[NODE_COUNT] = {};

    QLineEdit* time_edit_ = nullptr;
    QLabel* cc_limit_label_ = nullptr;
    QSpinBox* cc_limit_ = nullptr;
    QPushButton* run_button_ = nullptr;
    QPushButton* stop_button_ = nullptr;
    QPushButton* trace_button_ = nullptr;
    QPushButton* rewind_button_ = nullptr;
    QLineEdit* speed_edit_ = nullptr;
    QSlider* speed_slider_ = nullptr;
    QCheckBox* switch_boxes_[SWITCH_COUNT] = {};

    QRadioButton* effect_buttons_[3] = {};
    QRadioButton* target_buttons_[2] = {};
    QLineEdit* rate_edit_ = nullptr;
};
