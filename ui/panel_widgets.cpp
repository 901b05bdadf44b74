#include "ui/panel_widgets.h"

#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

namespace {

constexpr int GLYPH_SIZE = 16;
const QColor GLYPH_RUN(0x1E, 0x8C, 0x2E);
const QColor GLYPH_STOP(0xB0, 0x20, 0x20);
const QColor GLYPH_STEP(0x20, 0x50, 0xA0);
const QColor GLYPH_REWIND(0x40, 0x40, 0x40);

/// A glyph drawn by `draw` on a transparent 16 x 16 pixmap, antialiased, filled with `colour`.
template <class Draw>
QIcon glyph(const QColor& colour, Draw draw) {
    QPixmap pixmap(GLYPH_SIZE, GLYPH_SIZE);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);
    p.setBrush(colour);
    draw(p);
    p.end();
    QIcon icon(pixmap);
    // A disabled button shows its glyph greyed by the style.
    return icon;
}

QPolygonF triangle(double left, double right, double top, double bottom, bool pointing_right) {
    const double middle = (top + bottom) / 2;
    if (pointing_right) {
        return QPolygonF({QPointF(left, top), QPointF(right, middle), QPointF(left, bottom)});
    }
    return QPolygonF({QPointF(right, top), QPointF(left, middle), QPointF(right, bottom)});
}

} // namespace

QColor to_qcolor(Rgb colour) {
    return QColor::fromRgb(static_cast<QRgb>(colour));
}

TColourPanel::TColourPanel(QWidget* parent, Rgb colour) : QWidget(parent), colour_(colour) {}

void TColourPanel::SetColour(Rgb colour) {
    if (colour != colour_) {
        colour_ = colour;
        update();
    }
}

void TColourPanel::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.fillRect(rect(), to_qcolor(colour_));
}

TColourLabel::TColourLabel(const QString& text, QWidget* parent, Rgb colour)
    : QLabel(text, parent), colour_(~colour) {
    setAutoFillBackground(true);
    setAlignment(Qt::AlignCenter);
    SetColour(colour);
}

void TColourLabel::SetColour(Rgb colour) {
    if (colour == colour_) {
        return;
    }
    colour_ = colour;
    QPalette palette = this->palette();
    palette.setColor(QPalette::Window, to_qcolor(colour));
    palette.setColor(QPalette::WindowText, Qt::black);
    setPalette(palette);
}

TCircle::TCircle(QWidget* parent, Rgb colour) : QWidget(parent), colour_(colour) {
    setFixedSize(SIZE, SIZE);
}

void TCircle::SetColour(Rgb colour) {
    if (colour != colour_) {
        colour_ = colour;
        update();
    }
}

void TCircle::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(Qt::black, 1));
    p.setBrush(to_qcolor(colour_));
    p.drawEllipse(QRectF(0.5, 0.5, SIZE - 1, SIZE - 1));
}

TClickableLabel::TClickableLabel(QWidget* parent) : QLabel(parent) {
    setCursor(Qt::PointingHandCursor);
}

void TClickableLabel::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint())) {
        emit clicked();
    }
    QLabel::mouseReleaseEvent(event);
}

QIcon run_glyph() {
    return glyph(GLYPH_RUN, [](QPainter& p) { p.drawPolygon(triangle(4, 13, 2, 14, true)); });
}

QIcon stop_glyph() {
    return glyph(GLYPH_STOP, [](QPainter& p) { p.drawRect(QRectF(3, 3, 10, 10)); });
}

QIcon trace_glyph() {
    // One step: a short run up to a bar.
    return glyph(GLYPH_STEP, [](QPainter& p) {
        p.drawPolygon(triangle(2, 10, 3, 13, true));
        p.drawRect(QRectF(11, 3, 2.5, 10));
    });
}

QIcon rewind_glyph() {
    // Back to the start: a bar and two triangles pointing left.
    return glyph(GLYPH_REWIND, [](QPainter& p) {
        p.drawRect(QRectF(1.5, 3, 2.5, 10));
        p.drawPolygon(triangle(4, 9.5, 3, 13, false));
        p.drawPolygon(triangle(9, 14.5, 3, 13, false));
    });
}
