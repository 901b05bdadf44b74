#include "ui/fault_panel.h"

#include "host/sa1fault.h"
#include "ui/sine_wave_thread.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalBlocker>
#include <QSpinBox>
#include <QVBoxLayout>

namespace {

constexpr const char* RANDOM_FIELD = "random";
constexpr int WORD_BITS = 32;

/// The words of a target with at least one bit a fault may hit, by name, in the order of the target.
QStringList FieldNames(uint32_t target) {
    const uint32_t* mask = target == TARGET_CNI ? cni_fault_mask() : register_fault_mask();
    const uint32_t words = target == TARGET_CNI ? CNI_MASK_WORDS : REG_MASK_WORDS;
    QStringList names{RANDOM_FIELD};
    char buffer[80];
    for (uint32_t word = 0; word < words; ++word) {
        if (mask[word] != 0) {
            names << QString::fromLatin1(fault_word_name(target, word, buffer, sizeof buffer));
        }
    }
    return names;
}

NodeSet Checked(QCheckBox* const (&boxes)[NODE_COUNT]) {
    NodeSet set = 0;
    for (unsigned node = 0; node < NODE_COUNT; ++node) {
        set |= boxes[node]->isChecked() ? static_cast<NodeSet>(1u << node) : 0;
    }
    return set;
}

} // namespace

TFaultPanel::TFaultPanel(ThreadSource source, QWidget* parent)
    : QWidget(parent, Qt::Window), source_(std::move(source)) {
    setWindowTitle("Fault panel");
    setObjectName("FaultPanel");
    auto* column = new QVBoxLayout(this);
    form_ = new QFormLayout;
    column->addLayout(form_);

    kind_ = new QComboBox;
    kind_->setObjectName("Kind");
    for (unsigned k = 0; k < FAULT_KIND_COUNT; ++k) {
        kind_->addItem(fault_kind_name(static_cast<FaultKind>(k)));
    }
    form_->addRow("Kind", kind_);

    AddRow(FaultKey::NODE, "Nodes", NodeBoxes("Node", nodes_));
    nodes_[NODE_O1]->setChecked(true); // the main window's injector strikes O1 too
    AddRow(FaultKey::RECEIVERS, "Receivers", NodeBoxes("Receiver", receivers_));
    channel_ = new QComboBox;
    channel_->setObjectName("Channel");
    channel_->addItems({"A", "B", "both"});
    AddRow(FaultKey::CHANNEL, "Channel", channel_);
    target_ = new QComboBox;
    target_->setObjectName("Target");
    for (uint32_t t = 0; t < FAULT_TARGET_COUNT; ++t) {
        target_->addItem(fault_target_name(t));
    }
    AddRow(FaultKey::TARGET, "Target", target_);
    field_ = new QComboBox;
    field_->setObjectName("Field");
    field_->setEditable(true); // a name may be typed; the list completes it
    field_->setInsertPolicy(QComboBox::NoInsert);
    AddRow(FaultKey::FIELD, "Field", field_);
    bit_ = new QSpinBox;
    bit_->setObjectName("Bit");
    bit_->setRange(0, WORD_BITS - 1);
    AddRow(FaultKey::BIT, "Bit", bit_);
    effect_ = new QComboBox;
    effect_->setObjectName("Effect");
    AddRow(FaultKey::EFFECT, "Effect", effect_);
    value_ = new QComboBox;
    value_->setObjectName("Value");
    value_->addItems({"0", "1"});
    AddRow(FaultKey::VALUE, "Stuck at", value_);
    for (FaultKey key : {FaultKey::RATE, FaultKey::FRAMES, FaultKey::BER, FaultKey::INTERVAL_US,
                         FaultKey::OFFSET_US, FaultKey::DRIFT_STEP, FaultKey::JUMP, FaultKey::DURATION_US}) {
        AddRow(key, fault_key_name(key), NumberEdit(key));
    }

    text_ = new QLineEdit;
    text_->setObjectName("FaultText");
    text_->setReadOnly(true);
    form_->addRow("Text", text_);
    auto* inject = new QPushButton("Inject now");
    inject->setObjectName("PanelInjectButton");
    inject->setToolTip("Adds this fault to the run between two steps; it is logged and replayed");
    column->addWidget(inject);
    result_ = new QLabel;
    result_->setObjectName("PanelResult");
    result_->setWordWrap(true);
    column->addWidget(result_);
    column->addStretch(1);

    connect(kind_, &QComboBox::currentIndexChanged, this, &TFaultPanel::KindChanged);
    connect(target_, &QComboBox::currentIndexChanged, this, &TFaultPanel::TargetChanged);
    connect(field_, &QComboBox::currentTextChanged, this, &TFaultPanel::FieldChanged);
    connect(channel_, &QComboBox::currentIndexChanged, this, &TFaultPanel::ShowText);
    connect(bit_, &QSpinBox::valueChanged, this, &TFaultPanel::ShowText);
    connect(effect_, &QComboBox::currentIndexChanged, this, &TFaultPanel::ShowText);
    connect(value_, &QComboBox::currentIndexChanged, this, &TFaultPanel::ShowText);
    for (QCheckBox* box : nodes_) {
        connect(box, &QCheckBox::toggled, this, &TFaultPanel::ShowText);
    }
    for (QCheckBox* box : receivers_) {
        connect(box, &QCheckBox::toggled, this, &TFaultPanel::ShowText);
    }
    connect(inject, &QPushButton::clicked, this, [this] { (void)InjectNow(); }); // the label says how it went
    TargetChanged();
    KindChanged();
}

void TFaultPanel::AddRow(FaultKey key, const QString& label, QWidget* editor) {
    form_->addRow(label, editor);
    rows_.push_back({key, editor});
}

QWidget* TFaultPanel::NodeBoxes(const char* prefix, QCheckBox* (&boxes)[NODE_COUNT]) {
    auto* row = new QWidget;
    auto* layout = new QHBoxLayout(row);
    layout->setContentsMargins(0, 0, 0, 0);
    for (unsigned node = 0; node < NODE_COUNT; ++node) {
        boxes[node] = new QCheckBox(CLUSTER_NODES[node].name);
        boxes[node]->setObjectName(QString("%1%2").arg(prefix, CLUSTER_NODES[node].name));
        layout->addWidget(boxes[node]);
    }
    return row;
}

QLineEdit* TFaultPanel::NumberEdit(FaultKey key) {
    auto* edit = new QLineEdit;
    edit->setObjectName(fault_key_name(key));
    edit->setPlaceholderText("default");
    connect(edit, &QLineEdit::textChanged, this, &TFaultPanel::ShowText);
    numbers_.emplace_back(key, edit);
    return edit;
}

FaultKind TFaultPanel::Kind() const {
    return static_cast<FaultKind>(kind_->currentIndex());
}

void TFaultPanel::KindChanged() {
    const FaultKind kind = Kind();
    for (const KeyRow& row : rows_) {
        form_->setRowVisible(row.editor, kind_takes_key(kind, row.key));
    }
    // The effect of a memory fault is what it does to its bits; that of an asymmetric one, what the
    // receivers named get.
    const QSignalBlocker quiet(effect_);
    effect_->clear();
    if (kind == FaultKind::ASYMMETRIC) {
        effect_->addItems({"corrupt", "lose"});
    } else {
        effect_->addItems({"flip", "set", "reset"});
    }
    ShowText();
}

void TFaultPanel::TargetChanged() {
    {
        const QSignalBlocker quiet(field_);
        field_->clear();
        field_->addItems(FieldNames(static_cast<uint32_t>(target_->currentIndex())));
    }
    FieldChanged();
}

void TFaultPanel::FieldChanged() {
    bit_->setEnabled(field_->currentText() != RANDOM_FIELD); // a random field's bit is drawn too
    ShowText();
}

FaultWords TFaultPanel::Words() const {
    FaultWords words;
    const FaultKind kind = Kind();
    words.kind = fault_kind_name(kind);
    auto put = [&](FaultKey key, const QString& value) {
        if (kind_takes_key(kind, key) && !value.isEmpty()) {
            words.values.emplace_back(fault_key_name(key), value.toStdString());
        }
    };
    put(FaultKey::NODE, QString::fromStdString(node_set_text(Checked(nodes_))));
    put(FaultKey::TARGET, target_->currentText());
    const QString field = field_->currentText().trimmed();
    put(FaultKey::FIELD, field);
    if (field != RANDOM_FIELD) {
        put(FaultKey::BIT, QString::number(bit_->value()));
    }
    put(FaultKey::EFFECT, effect_->currentText());
    put(FaultKey::VALUE, value_->currentText());
    put(FaultKey::CHANNEL, channel_->currentText());
    put(FaultKey::RECEIVERS, QString::fromStdString(node_set_text(Checked(receivers_))));
    for (const auto& [key, edit] : numbers_) {
        put(key, edit->text().trimmed());
    }
    return words;
}

bool TFaultPanel::Fault(FaultSpec* fault, std::string* why) const {
    return fault_from_words(Words(), fault, why);
}

void TFaultPanel::ShowText() {
    FaultSpec fault;
    std::string why;
    text_->setText(Fault(&fault, &why) ? QString::fromStdString(format_fault(fault)) : QString());
}

uint32_t TFaultPanel::InjectNow() {
    FaultSpec fault;
    std::string why;
    if (!Fault(&fault, &why)) {
        result_->setText(QString("Not injected: %1").arg(QString::fromStdString(why)));
        return 0;
    }
    TSineWaveThread* thread = source_ ? source_() : nullptr;
    const uint32_t number = thread ? thread->AddFault(fault) : 0;
    result_->setText(
        number == 0
            ? QString("Not injected: there is no run")
            : QString("Fault %1 added: %2").arg(number).arg(QString::fromStdString(describe_fault(fault))));
    return number;
}
