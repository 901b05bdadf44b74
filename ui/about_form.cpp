#include "ui/about_form.h"

#include "host/nodes.h"
#include "ui/panel_widgets.h"

#include <QDesktopServices>
#include <QFrame>
#include <QPainter>
#include <QPixmap>
#include <QPushButton>

namespace {

constexpr const char* UPPER_ADDRESS = "https://github.com/pelorin/pelorin";
constexpr const char* LOWER_ADDRESS = "https://en.wikipedia.org/wiki/Time-Triggered_Protocol";
constexpr int LINK_FONT_PX = 16, TITLE_FONT_PX = 21, FORM_FONT_PX = 11;
constexpr QSize LOGO_SIZE(136, 104);
constexpr int BLOCK_TOP[2] = {8, 128};
constexpr int TEXT_LEFT = 160;

const QColor LOGO_BACKGROUND(0x10, 0x18, 0x30);
const QColor LOGO_CHANNEL(0x60, 0x80, 0xC0);

/// Pelorin's logo: four nodes on two redundant channels.
QPixmap cluster_logo() {
    QPixmap pixmap(LOGO_SIZE);
    pixmap.fill(LOGO_BACKGROUND);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    p.fillRect(QRect(10, 70, 116, 4), LOGO_CHANNEL);
    p.fillRect(QRect(10, 82, 116, 4), LOGO_CHANNEL);
    const QColor node_colours[NODE_COUNT] = {QColor(0x00, 0xFF, 0x00), QColor(0x00, 0xFF, 0x00),
                                             QColor(0x40, 0xC0, 0xFF), QColor(0xFF, 0xFF, 0x00)};
    QFont font = p.font();
    font.setPixelSize(10);
    font.setBold(true);
    p.setFont(font);
    for (unsigned i = 0; i < NODE_COUNT; ++i) {
        const int x = 14 + 28 * i;
        p.fillRect(QRect(x + 10, 48, 3, 38), LOGO_CHANNEL);
        p.setPen(Qt::NoPen);
        p.setBrush(node_colours[i]);
        p.drawRoundedRect(QRect(x, 22, 24, 28), 4, 4);
        p.setPen(Qt::black);
        p.drawText(QRect(x, 22, 24, 28), Qt::AlignCenter, CLUSTER_NODES[i].name);
    }
    p.setPen(QColor(0xC0, 0xC0, 0xC0));
    p.drawText(QRect(0, 88, LOGO_SIZE.width(), 14), Qt::AlignCenter, "Pelorin");
    return pixmap;
}

/// The protocol's logo: one TDMA round of four slots under a turning arm.
QPixmap protocol_logo() {
    QPixmap pixmap(LOGO_SIZE);
    pixmap.fill(LOGO_BACKGROUND);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(QColor(0x80, 0x80, 0x80), 2));
    p.drawEllipse(QPoint(68, 36), 24, 24);
    p.setPen(QPen(QColor(0xFF, 0xFF, 0x00), 3));
    p.drawLine(QPoint(68, 36), QPoint(86, 22));
    const QColor slot_colours[4] = {QColor(0xFF, 0xB0, 0x00), QColor(0x00, 0xFF, 0x00),
                                    QColor(0x40, 0xC0, 0xFF), QColor(0xFF, 0xFF, 0xFF)};
    for (int i = 0; i < 4; ++i) {
        p.fillRect(QRect(12 + 28 * i, 70, 26, 14), slot_colours[i]);
    }
    QFont font = p.font();
    font.setPixelSize(10);
    font.setBold(true);
    p.setFont(font);
    p.setPen(QColor(0xC0, 0xC0, 0xC0));
    p.drawText(QRect(0, 88, LOGO_SIZE.width(), 14), Qt::AlignCenter, "TTP/C");
    return pixmap;
}

QLabel* text_at(QWidget* parent, const QString& text, int x, int y) {
    auto* label = new QLabel(text, parent);
    label->move(x, y);
    label->adjustSize();
    return label;
}

} // namespace

QUrl about_upper_address() {
    return QUrl(UPPER_ADDRESS);
}

QUrl about_lower_address() {
    return QUrl(LOWER_ADDRESS);
}

QString build_date_caption() {
    return QString("(Built %1, %2)").arg(__DATE__, __TIME__);
}

TAboutForm::TAboutForm(QWidget* parent) : QDialog(parent) {
    setObjectName("AboutForm");
    setWindowTitle(ABOUT_CAPTION);
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
    setFixedSize(ABOUT_CLIENT_WIDTH, ABOUT_CLIENT_HEIGHT);
    QFont form_font = font();
    form_font.setPixelSize(FORM_FONT_PX);
    setFont(form_font);

    auto* panel = new QFrame(this);
    panel->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    panel->setGeometry(8, 8, 427, 465);

    struct Block {
        QPixmap logo;
        const char* link;
        const char* lines[2];
        void (TAboutForm::*open)();
        const char* address;
    };
    const Block blocks[2] = {
        {cluster_logo(),
         "Pelorin",
         {"A four-node TTP/C cluster simulator", "with fault injection."},
         &TAboutForm::OpenUpper,
         UPPER_ADDRESS},
        {protocol_logo(),
         "Time-Triggered Protocol",
         {"TTP/C: fault-tolerant, time-triggered", "communication for safety-critical systems."},
         &TAboutForm::OpenLower,
         LOWER_ADDRESS},
    };
    QFont link_font = font();
    link_font.setPixelSize(LINK_FONT_PX);
    link_font.setUnderline(true);
    for (int i = 0; i < 2; ++i) {
        const Block& block = blocks[i];
        auto* frame = new QFrame(panel);
        frame->setFrameStyle(QFrame::Panel | QFrame::Sunken);
        frame->setGeometry(8, BLOCK_TOP[i], LOGO_SIZE.width() + 4, LOGO_SIZE.height() + 4);
        auto* logo = new TClickableLabel(frame);
        logo->setObjectName(i == 0 ? "Image2" : "Image1");
        logo->setPixmap(block.logo);
        logo->setGeometry(2, 2, LOGO_SIZE.width(), LOGO_SIZE.height());
        logo->setToolTip(block.address);
        connect(logo, &TClickableLabel::clicked, this, block.open);

        auto* link = new TClickableLabel(panel);
        link->setObjectName(i == 0 ? "UpperLink" : "LowerLink");
        link->setText(block.link);
        link->setFont(link_font);
        QPalette palette = link->palette();
        palette.setColor(QPalette::WindowText, Qt::blue);
        link->setPalette(palette);
        link->setToolTip(block.address);
        link->move(TEXT_LEFT, BLOCK_TOP[i] + 20);
        link->adjustSize();
        connect(link, &TClickableLabel::clicked, this, block.open);
        text_at(panel, block.lines[0], TEXT_LEFT, BLOCK_TOP[i] + 48);
        text_at(panel, block.lines[1], TEXT_LEFT, BLOCK_TOP[i] + 64);
    }

    auto* title = new QLabel(ABOUT_TITLE, panel);
    QFont title_font = font();
    title_font.setPixelSize(TITLE_FONT_PX);
    title->setFont(title_font);
    title->setAlignment(Qt::AlignCenter);
    title->setGeometry(8, 246, 411, 26);

    auto* built = new QLabel(build_date_caption(), panel);
    built->setObjectName("BuildDateLabel");
    built->setAlignment(Qt::AlignCenter);
    built->setGeometry(56, 274, 321, 13);

    auto* credits = new QLabel(panel);
    credits->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    credits->setGeometry(8, 300, 411, 144);
    credits->setText("Four nodes, M1 and M2 measuring, O1 and O2 acting, keep a laser\n"
                     "aimed at a turning motor over two replicated channels.\n"
                     "\n"
                     "Simulation kernel: process-oriented, discrete events.\n"
                     "Controllers: TDMA round, startup, implicit acknowledgement,\n"
                     "membership, clock synchronisation and bus guardians.\n"
                     "Hosts: a time-triggered executive running the sine wave application.\n"
                     "Fault injector: one bit of a controller's memory at a time.\n"
                     "\n"
                     "Written in C++20 with Qt 6 Widgets.");

    auto* close = new QPushButton("Close", this);
    close->setObjectName("CloseButton");
    close->setGeometry(187, 480, 75, 25);
    close->setDefault(true); // Enter closes; Escape closes as for every dialog
    connect(close, &QPushButton::clicked, this, &QDialog::accept);
}

void TAboutForm::OpenUpper() {
    QDesktopServices::openUrl(about_upper_address());
}

void TAboutForm::OpenLower() {
    QDesktopServices::openUrl(about_lower_address());
}
