// The fault panel: one fault of any kind, chosen in full and injected now. Opened from the main window with
// F3 (or the observer's "Fault panel" button), non-modal; it remembers nothing between runs of the program.
//
//     Kind        every kind of fault the cluster can be given (memory, stuck, ..., clock)
//     the keys    one row for each key the kind takes, the others hidden: the nodes struck, the receivers
//                 (asymmetric), the channel, for memory kinds the target, the field (a word by the name the
//                 injection log uses, or "random": a bit drawn as the fault injector draws it) and the bit,
//                 the effect or the stuck value, and the kind's numbers (rate, frames, ber, interval_us,
//                 offset_us, drift_step, jump, duration_us); an empty number takes the kind's default
//     Text        the fault as the text form writes it (what --fault and the injection log take)
//     Inject now  adds the fault to the run between two kernel steps (TSineWaveThread::AddFault), so it is
//                 logged and a replay does it again; a refusal says why, naming the key, and adds nothing
//
// The fault is built from the panel's words by fault_from_words, the reader of --fault and of scenario files,
// so the panel refuses exactly what they refuse and with the same words.
#pragma once

#include "host/fault_spec.h"

#include <QWidget>

#include <functional>

class QCheckBox;
class QComboBox;
class QFormLayout;
class QLabel;
class QLineEdit;
class QSpinBox;
class TSineWaveThread;

class TFaultPanel : public QWidget {
    Q_OBJECT
  public:
    /// The simulation thread to inject into now (may be null: nothing is injected); asked at each injection.
    using ThreadSource = std::function<TSineWaveThread*()>;

    explicit TFaultPanel(ThreadSource source, QWidget* parent = nullptr);

    /// The panel's fault as its words (only the keys the kind takes and the panel has a value for).
    FaultWords Words() const;
    /// The panel's fault; false with the reason when it is refused.
    bool Fault(FaultSpec* fault, std::string* why) const;
    /// Adds the panel's fault to the run; the fault's number, 0 when it was refused or there is no run.
    uint32_t InjectNow();

  private:
    struct KeyRow {
        FaultKey key;
        QWidget* editor;
    };
    void AddRow(FaultKey key, const QString& label, QWidget* editor);
    QWidget* NodeBoxes(const char* prefix, QCheckBox* (&boxes)[NODE_COUNT]);
    QLineEdit* NumberEdit(FaultKey key);
    void KindChanged();
    void TargetChanged();
    void FieldChanged();
    void ShowText();
    FaultKind Kind() const;

    ThreadSource source_;
    QFormLayout* form_ = nullptr;
    std::vector<KeyRow> rows_;
    QComboBox* kind_ = nullptr;
    QCheckBox* nodes_[NODE_COUNT]{};
    QCheckBox* receivers_[NODE_COUNT]{};
    QComboBox* channel_ = nullptr;
    QComboBox* target_ = nullptr;
    QComboBox* field_ = nullptr;
    QSpinBox* bit_ = nullptr;
    QComboBox* effect_ = nullptr;
    QComboBox* value_ = nullptr;
    std::vector<std::pair<FaultKey, QLineEdit*>> numbers_;
    QLineEdit* text_ = nullptr;
    QLabel* result_ = nullptr;
};
