#include "ui/slot_timeline.h"

#include "host/fault_plan.h"
#include "ui/display_format.h"
#include "ui/panel_widgets.h"

#include <QHelpEvent>
#include <QPainter>
#include <QPainterPath>
#include <QToolTip>

#include <algorithm>
#include <cmath>

namespace {

// Layout, pixels.
constexpr int LEFT = 36;             // row labels
constexpr int RIGHT = 8;             //
constexpr int TOP = 2;               //
constexpr int COUNT_ROW = 10;        // the numbers of injections, above the markers
constexpr int BAND = 16;             // the marker band above the rows
constexpr int ROW_HEIGHT = 24;       //
constexpr int ROW_GAP = 2;           //
constexpr int AXIS = 32;             // slot numbers and times below the rows
constexpr int LEGEND_LINE = 18;      //
constexpr int LEGEND_LINES = 3;      //
constexpr int LEGEND_PAD = 6;        //
constexpr int SWATCH = 12;           // legend swatches
constexpr int LEGEND_SPACING = 14;   // between legend items
constexpr int MIN_LABEL_GAP = 76;    // from one axis label to the next, at least
constexpr int LABEL_PADDING = 8;     // after an axis label's text
constexpr int MARKER_REACH = 5;      // how near a hover must be to a marker
constexpr int MARKER_HALF = 4;       // half the width of an injection marker
constexpr int COUNT_FONT_PX = 9;     // the number of injections over a marker
constexpr int COUNT_GAP = 2;         // between two numbers
constexpr int DETAIL_INJECTIONS = 8; // injections a hover lists in full, at most
constexpr int SENT_BAR = 4;          // height of the sent bar
constexpr int CORNER = 7;            // size of the worse-state corner
constexpr double GLYPH_RADIUS = 3.0;
constexpr int MARKS_TOP = TOP + COUNT_ROW;
constexpr int ROWS_TOP = MARKS_TOP + BAND;
constexpr int ROWS_BOTTOM =
    ROWS_TOP + static_cast<int>(NODE_COUNT) * ROW_HEIGHT + (static_cast<int>(NODE_COUNT) - 1) * ROW_GAP;
constexpr int AXIS_TOP = ROWS_BOTTOM + 2;
constexpr int LEGEND_TOP = AXIS_TOP + AXIS;
constexpr int TOTAL_HEIGHT = LEGEND_TOP + LEGEND_LINES * LEGEND_LINE + LEGEND_PAD;
constexpr int PREFERRED_SLOTS = 80;
constexpr double US_PER_MS = 1000.0;

const QColor BACKGROUND(Qt::white);
const QColor GRID(0xD8, 0xD8, 0xD8);
const QColor CYCLE_LINE(0x90, 0x90, 0x90);
const QColor INJECTION_RED(0xD0, 0x10, 0x10);
const QColor INJECTION_LINE(0xD0, 0x10, 0x10, 0x60);
const QColor MEMBERSHIP_BLUE(0x10, 0x40, 0xD0);
const QColor GAP_GREY(0x70, 0x70, 0x70);
const QColor EMPTY_TEXT(0x60, 0x60, 0x60);

/// The states of the legend, grouped by the main window's colour.
struct LegendState {
    const char* caption;
    uint32_t state;
};
constexpr LegendState LEGEND_STATES[] = {
    {"Startup, Application", PS_APPLICATION},
    {"Ready", PS_READY},
    {"Passive", PS_PASSIVE},
    {"Cold Start", PS_COLDSTART},
    {"Listen", PS_LISTEN},
    {"Init, Freeze", PS_FREEZE},
    {"Await, Self Test, Download", PS_AWAIT},
};

enum class Mark { SENT, JUDGEMENT, WORSE, INJECTION, MEMBERSHIP, GAP, EFFECT };
struct LegendMark {
    const char* caption;
    Mark mark;
    uint8_t judgement; // for Mark::JUDGEMENT
};
constexpr LegendMark LEGEND_MARKS[] = {
    {"sent", Mark::SENT, JUDGED_NOTHING},
    {"judged correct", Mark::JUDGEMENT, JUDGED_CORRECT},
    {"null", Mark::JUDGEMENT, JUDGED_NULL},
    {"invalid", Mark::JUDGEMENT, JUDGED_INVALID},
    {"incorrect", Mark::JUDGEMENT, JUDGED_INCORRECT},
    {"passed a worse state", Mark::WORSE, JUDGED_NOTHING},
    {"injection (outlined: several, their number above where there is room)", Mark::INJECTION,
     JUDGED_NOTHING},
    {"membership changed", Mark::MEMBERSHIP, JUDGED_NOTHING},
    {"gap", Mark::GAP, JUDGED_NOTHING},
    {"stopped on effect", Mark::EFFECT, JUDGED_NOTHING},
};

QColor state_colour(uint8_t state) {
    return to_qcolor(protocol_state_display(state).colour);
}

QString membership_text(uint8_t membership) {
    return membership == MEMBERSHIP_UNKNOWN ? QString("none")
                                            : QString::fromStdString(membership_bits(membership));
}

void draw_judgement(QPainter& p, const QPointF& centre, uint8_t judgement) {
    p.setPen(QPen(Qt::black, 1.4));
    const double r = GLYPH_RADIUS;
    switch (judgement) {
    case JUDGED_CORRECT:
        p.setBrush(Qt::black);
        p.drawEllipse(centre, r - 0.5, r - 0.5);
        break;
    case JUDGED_NULL:
        p.setBrush(Qt::NoBrush);
        p.drawEllipse(centre, r, r);
        break;
    case JUDGED_INVALID:
        p.setBrush(Qt::NoBrush);
        p.drawRect(QRectF(centre.x() - r, centre.y() - r, 2 * r, 2 * r));
        break;
    case JUDGED_INCORRECT:
        p.drawLine(centre + QPointF(-r, -r), centre + QPointF(r, r));
        p.drawLine(centre + QPointF(-r, r), centre + QPointF(r, -r));
        break;
    default:
        break;
    }
}

void draw_corner(QPainter& p, const QRect& cell, uint8_t state) {
    const QPolygon corner({QPoint(cell.right() - CORNER, cell.top()), QPoint(cell.right() + 1, cell.top()),
                           QPoint(cell.right() + 1, cell.top() + CORNER)});
    p.setPen(QPen(Qt::black, 1));
    p.setBrush(state_colour(state));
    p.drawPolygon(corner);
}

/// A red triangle; outlined in black when it stands for several injections.
void draw_injection_marker(QPainter& p, double x, bool several) {
    const QPolygonF marker({QPointF(x - MARKER_HALF, MARKS_TOP + 2), QPointF(x + MARKER_HALF, MARKS_TOP + 2),
                            QPointF(x, MARKS_TOP + BAND - 3)});
    p.setPen(several ? QPen(Qt::black, 1) : QPen(Qt::NoPen));
    p.setBrush(INJECTION_RED);
    p.drawPolygon(marker);
}

void draw_membership_marker(QPainter& p, double x) {
    const double y = MARKS_TOP + BAND / 2.0;
    const QPolygonF diamond({QPointF(x, y - 5), QPointF(x + 5, y), QPointF(x, y + 5), QPointF(x - 5, y)});
    p.setPen(Qt::NoPen);
    p.setBrush(MEMBERSHIP_BLUE);
    p.drawPolygon(diamond);
}

void draw_gap(QPainter& p, int x, int top, int bottom) {
    QPainterPath zigzag;
    zigzag.moveTo(x, top);
    for (int y = top, step = 0; y < bottom; y += 4, ++step) {
        zigzag.lineTo(x + (step % 2 == 0 ? 2 : -2), y + 4);
    }
    p.setPen(QPen(GAP_GREY, 1.2));
    p.setBrush(Qt::NoBrush);
    p.drawPath(zigzag);
}

/// A legend swatch: a white cell with the mark, or the marker itself.
void draw_legend_mark(QPainter& p, const QRect& box, const LegendMark& item) {
    const QRect cell = box.adjusted(0, 0, -1, -1);
    const QPointF centre = QRectF(box).center();
    switch (item.mark) {
    case Mark::INJECTION: {
        const QPolygonF marker({QPointF(centre.x() - 5, box.top()), QPointF(centre.x() + 5, box.top()),
                                QPointF(centre.x(), box.bottom())});
        p.setPen(Qt::NoPen);
        p.setBrush(INJECTION_RED);
        p.drawPolygon(marker);
        return;
    }
    case Mark::MEMBERSHIP: {
        const QPolygonF diamond({QPointF(centre.x(), box.top()), QPointF(box.right() + 1, centre.y()),
                                 QPointF(centre.x(), box.bottom() + 1), QPointF(box.left(), centre.y())});
        p.setPen(Qt::NoPen);
        p.setBrush(MEMBERSHIP_BLUE);
        p.drawPolygon(diamond);
        return;
    }
    case Mark::GAP:
        draw_gap(p, static_cast<int>(centre.x()), box.top(), box.bottom());
        return;
    default:
        break;
    }
    p.setPen(QPen(GRID, 1));
    p.setBrush(Qt::white);
    p.drawRect(cell);
    switch (item.mark) {
    case Mark::SENT:
        p.fillRect(QRect(cell.left(), cell.bottom() - SENT_BAR + 1, cell.width() + 1, SENT_BAR), Qt::black);
        break;
    case Mark::JUDGEMENT:
        draw_judgement(p, centre, item.judgement);
        break;
    case Mark::WORSE:
        draw_corner(p, cell, PS_FREEZE);
        break;
    case Mark::EFFECT:
        p.setPen(QPen(Qt::black, 2));
        p.setBrush(Qt::NoBrush);
        p.drawRect(cell.adjusted(1, 1, -1, -1));
        break;
    default:
        break;
    }
}

/// Lays the legend out line by line: each item is a swatch and its caption.
class LegendFlow {
  public:
    LegendFlow(QPainter& p, int width) : p_(p), right_(width - RIGHT), x_(LEFT), line_(0) {}
    template <class DrawSwatch>
    void Item(const QString& caption, DrawSwatch draw) {
        const int width = SWATCH + 4 + p_.fontMetrics().horizontalAdvance(caption);
        if (x_ > LEFT && x_ + width > right_ && line_ + 1 < LEGEND_LINES) {
            x_ = LEFT;
            line_ += 1;
        }
        const int top = LEGEND_TOP + line_ * LEGEND_LINE;
        const QRect swatch(x_, top + (LEGEND_LINE - SWATCH) / 2, SWATCH, SWATCH);
        draw(swatch);
        p_.setPen(Qt::black);
        p_.drawText(QRect(x_ + SWATCH + 4, top, width, LEGEND_LINE), Qt::AlignLeft | Qt::AlignVCenter,
                    caption);
        x_ += width + LEGEND_SPACING;
    }
    void NewLine() {
        if (line_ + 1 < LEGEND_LINES) {
            x_ = LEFT;
            line_ += 1;
        }
    }

  private:
    QPainter& p_;
    int right_;
    int x_;
    int line_;
};

/// The rows of a slot that concern a node: how many, and the number of the first.
struct SlotInjections {
    uint64_t first = 0;
    uint64_t count = 0;
};

SlotInjections injections_of(const SlotColumn& column, const InjectionHistory& rows) {
    const RowList list = column_rows(column, rows, 1);
    return {list.numbers.empty() ? 0 : list.numbers.front(), list.count};
}

bool slot_holds_injection(const SlotColumn& column, uint64_t number, const InjectionHistory& rows) {
    for (unsigned n = 0; n < NODE_COUNT; ++n) {
        const SlotCell& cell = column.cells[n];
        if (cell.injections > 0 && number >= cell.first_injection && number <= cell.last_injection &&
            rows.has(number) && (injection_nodes(rows.at(number)) >> n & 1u) != 0) {
            return true;
        }
    }
    return false;
}

} // namespace

QString injection_summary(uint64_t number, const InjectionRecord& r) {
    if (r.action != ROW_BIT) { // what a described fault did besides changing a bit
        return QString("#%1 at %2 us: fault %3 (%4) %5: %6")
            .arg(number)
            .arg(r.time, 0, 'f', 4)
            .arg(r.fault)
            .arg(fault_kind_name(static_cast<FaultKind>(r.kind)))
            .arg(fault_row_action_name(r.action))
            .arg(QString::fromStdString(r.detail));
    }
    char field[64];
    fault_word_name(r.target, r.word, field, sizeof field);
    const int node = injection_node(r);
    return QString("#%1 at %2 us: %3 %4 word %5 (%6) bit %7 %8, 0x%9 -> 0x%10")
        .arg(number)
        .arg(r.time, 0, 'f', 4)
        .arg(node >= 0 ? CLUSTER_NODES[node].name : "?")
        .arg(fault_target_name(r.target))
        .arg(r.word)
        .arg(field)
        .arg(r.bit)
        .arg(fault_effect_name(r.effect))
        .arg(r.before, 8, 16, QChar('0'))
        .arg(r.after, 8, 16, QChar('0'));
}

TSlotTimeline::TSlotTimeline(QWidget* parent) : QWidget(parent) {
    setObjectName("SlotTimeline");
    setMouseTracking(true);
    setAttribute(Qt::WA_OpaquePaintEvent);
}

void TSlotTimeline::SetEvents(const SlotEventsCopy* events) {
    events_ = events;
    update();
}

void TSlotTimeline::SetFirstSlot(uint64_t number) {
    if (number != first_slot_) {
        first_slot_ = number;
        update();
    }
}

int TSlotTimeline::VisibleSlots() const {
    return std::max(1, (width() - LEFT - RIGHT) / CELL_WIDTH);
}

uint64_t TSlotTimeline::ShownFirstSlot() const {
    if (events_ == nullptr || events_->columns.total == 0) {
        return 1;
    }
    const auto& columns = events_->columns;
    const uint64_t visible = static_cast<uint64_t>(VisibleSlots());
    const uint64_t newest_first =
        columns.total >= visible ? std::max(columns.first(), columns.total - visible + 1) : columns.first();
    if (first_slot_ == 0) {
        return newest_first;
    }
    return std::clamp(first_slot_, columns.first(), newest_first);
}

int TSlotTimeline::RowTop(unsigned node) const {
    return ROWS_TOP + static_cast<int>(node) * (ROW_HEIGHT + ROW_GAP);
}

int TSlotTimeline::ColumnLeft(uint64_t number) const {
    return LEFT + static_cast<int>(number - ShownFirstSlot()) * CELL_WIDTH;
}

QRect TSlotTimeline::CellRect(uint64_t number, unsigned node) const {
    if (events_ == nullptr || !events_->columns.has(number) || node >= NODE_COUNT) {
        return {};
    }
    const uint64_t first = ShownFirstSlot();
    if (number < first || number >= first + static_cast<uint64_t>(VisibleSlots())) {
        return {};
    }
    return QRect(ColumnLeft(number), RowTop(node), CELL_WIDTH - 1, ROW_HEIGHT);
}

QPoint TSlotTimeline::InjectionMarker(uint64_t number) const {
    if (events_ == nullptr || !events_->injections.has(number)) {
        return {-1, -1};
    }
    const uint64_t first = ShownFirstSlot();
    const uint64_t last = std::min(events_->columns.total, first + static_cast<uint64_t>(VisibleSlots()) - 1);
    for (uint64_t s = first; s <= last && events_->columns.has(s); ++s) {
        if (slot_holds_injection(events_->columns.at(s), number, events_->injections)) {
            return {MarkerLeft(s), MARKS_TOP + BAND / 2};
        }
    }
    return {-1, -1};
}

int TSlotTimeline::MarkerLeft(uint64_t number) const {
    const SlotColumn& column = events_->columns.at(number);
    const SlotInjections injections = injections_of(column, events_->injections);
    if (injections.count == 0 || !events_->injections.has(injections.first)) {
        return ColumnLeft(number);
    }
    const double span = column.end_us - column.start_us;
    const double time = events_->injections.at(injections.first).time;
    const double part = span > 0 ? std::clamp((time - column.start_us) / span, 0.0, 1.0) : 0.0;
    return ColumnLeft(number) + static_cast<int>(std::lround(part * (CELL_WIDTH - 1)));
}

QSize TSlotTimeline::sizeHint() const {
    return {LEFT + PREFERRED_SLOTS * CELL_WIDTH + RIGHT, TOTAL_HEIGHT};
}

QSize TSlotTimeline::minimumSizeHint() const {
    return {LEFT + MIN_VISIBLE_SLOTS * CELL_WIDTH + RIGHT, TOTAL_HEIGHT};
}

// --- Drawing ---------------------------------------------------------------------------------------------

void TSlotTimeline::paintEvent(QPaintEvent*) {
    QPainter p(this);
    Render(p, size());
}

void TSlotTimeline::Render(QPainter& p, const QSize& size) const {
    p.save();
    p.setFont(font());
    p.fillRect(QRect(QPoint(0, 0), size), BACKGROUND);
    QFont bold = font();
    bold.setBold(true);
    p.setFont(bold);
    p.setPen(Qt::black);
    for (unsigned n = 0; n < NODE_COUNT; ++n) {
        p.drawText(QRect(0, RowTop(n), LEFT - 6, ROW_HEIGHT), Qt::AlignRight | Qt::AlignVCenter,
                   CLUSTER_NODES[n].name);
    }
    p.setFont(font());
    const bool empty = events_ == nullptr || events_->columns.total == 0;
    if (empty) {
        p.setPen(EMPTY_TEXT);
        p.drawText(QRect(LEFT, ROWS_TOP, size.width() - LEFT - RIGHT, ROWS_BOTTOM - ROWS_TOP),
                   Qt::AlignCenter,
                   "No slot recorded yet: the timeline begins with the first cold start frame.");
    } else {
        const uint64_t first = ShownFirstSlot();
        const uint64_t last =
            std::min(events_->columns.total, first + static_cast<uint64_t>(VisibleSlots()) - 1);
        p.setRenderHint(QPainter::Antialiasing, true);
        for (uint64_t s = first; s <= last; ++s) {
            const SlotColumn& column = events_->columns.at(s);
            for (unsigned n = 0; n < NODE_COUNT; ++n) {
                RenderCell(p, QRect(ColumnLeft(s), RowTop(n), CELL_WIDTH - 1, ROW_HEIGHT), column.cells[n]);
            }
        }
        RenderMarkers(p, first, last);
        RenderAxis(p, first, last);
        p.setRenderHint(QPainter::Antialiasing, false);
    }
    RenderLegend(p, size);
    p.restore();
}

void TSlotTimeline::RenderCell(QPainter& p, const QRect& cell, const SlotCell& data) const {
    p.fillRect(cell, state_colour(data.state));
    if (data.sent != 0) {
        p.fillRect(QRect(cell.left(), cell.bottom() - SENT_BAR + 1, cell.width(), SENT_BAR), Qt::black);
    }
    draw_judgement(p, QPointF(cell.left() + cell.width() / 2.0, cell.top() + (ROW_HEIGHT - SENT_BAR) / 2.0),
                   data.judgement);
    if (data.worst != data.state) {
        draw_corner(p, cell, data.worst);
    }
}

void TSlotTimeline::RenderMarkers(QPainter& p, uint64_t first, uint64_t last) const {
    for (uint64_t s = first; s <= last; ++s) {
        const SlotColumn& column = events_->columns.at(s);
        const int left = ColumnLeft(s);
        if ((column.flags & COLUMN_AFTER_GAP) != 0) {
            draw_gap(p, left - 1, ROWS_TOP, ROWS_BOTTOM);
        }
        if ((column.flags & COLUMN_MEMBERSHIP_CHANGED) != 0) {
            draw_membership_marker(p, left + CELL_WIDTH / 2.0 - 0.5);
        }
        if (s == events_->effect_column && events_->effect_stops > 0) {
            p.setPen(QPen(Qt::black, 2));
            p.setBrush(Qt::NoBrush);
            p.drawRect(QRect(left - 1, ROWS_TOP - 1, CELL_WIDTH, ROWS_BOTTOM - ROWS_TOP + 2));
        }
    }
    // One marker per slot, at its first injection, however many it holds (at the highest rate a slot
    // holds hundreds); over it their number, where it does not run into the number before.
    QFont small = p.font();
    small.setPixelSize(COUNT_FONT_PX);
    const QFontMetrics metrics(small);
    const double shown_right = ColumnLeft(last + 1);
    double next_free = 0.0;
    for (uint64_t s = first; s <= last; ++s) {
        const uint64_t count = injections_of(events_->columns.at(s), events_->injections).count;
        if (count == 0) {
            continue;
        }
        const double x = MarkerLeft(s) + 0.5;
        // One pixel column, filled: a stroked translucent line costs a hundred times as much.
        p.fillRect(QRectF(x - 0.5, ROWS_TOP, 1.0, ROWS_BOTTOM - ROWS_TOP), INJECTION_LINE);
        draw_injection_marker(p, x, count > 1);
        if (count < 2) {
            continue;
        }
        const QString number = QString::number(count);
        const double width = metrics.horizontalAdvance(number);
        const double left = std::max(x - width / 2.0, static_cast<double>(LEFT));
        if (left >= next_free && left + width <= shown_right) {
            p.save();
            p.setFont(small);
            p.setPen(Qt::black);
            p.drawText(QRectF(left, TOP, width, COUNT_ROW + 2), Qt::AlignCenter, number);
            p.restore();
            next_free = left + width + COUNT_GAP;
        }
    }
}

void TSlotTimeline::RenderAxis(QPainter& p, uint64_t first, uint64_t last) const {
    int next_free = 0; // the first x after the last label drawn
    for (uint64_t s = first; s <= last; ++s) {
        const SlotColumn& column = events_->columns.at(s);
        if (column.medl_position != 0 && s != first) {
            continue;
        }
        const int x = ColumnLeft(s) - 1;
        if (column.medl_position == 0) {
            p.setPen(QPen(CYCLE_LINE, 1));
            p.drawLine(x, ROWS_TOP, x, AXIS_TOP + 4);
        }
        // A label is as wide as its longer line, so neighbours never run into each other.
        const QString slot = QString("slot %1").arg(s);
        const QString time = QString("%1 ms").arg(column.start_us / US_PER_MS, 0, 'f', 3);
        const int width =
            std::max(p.fontMetrics().horizontalAdvance(slot), p.fontMetrics().horizontalAdvance(time)) +
            LABEL_PADDING;
        if (x < next_free) {
            continue;
        }
        next_free = x + std::max(width, MIN_LABEL_GAP);
        p.setPen(Qt::black);
        const int line = AXIS / 2;
        p.drawText(QRect(x + 2, AXIS_TOP, width, line), Qt::AlignLeft | Qt::AlignVCenter, slot);
        p.drawText(QRect(x + 2, AXIS_TOP + line, width, line), Qt::AlignLeft | Qt::AlignVCenter, time);
    }
}

void TSlotTimeline::RenderLegend(QPainter& p, const QSize& size) const {
    p.setRenderHint(QPainter::Antialiasing, true);
    LegendFlow flow(p, size.width());
    for (const LegendState& item : LEGEND_STATES) {
        flow.Item(item.caption, [&](const QRect& box) {
            p.setPen(QPen(Qt::black, 1));
            p.setBrush(state_colour(static_cast<uint8_t>(item.state)));
            p.drawRect(box.adjusted(0, 0, -1, -1));
        });
    }
    flow.NewLine();
    for (const LegendMark& item : LEGEND_MARKS) {
        flow.Item(item.caption, [&](const QRect& box) { draw_legend_mark(p, box, item); });
    }
    p.setRenderHint(QPainter::Antialiasing, false);
}

// --- Details on hover ------------------------------------------------------------------------------------

bool TSlotTimeline::event(QEvent* event) {
    if (event->type() == QEvent::ToolTip) {
        auto* help = static_cast<QHelpEvent*>(event);
        const QString text = DetailsAt(help->pos());
        if (text.isEmpty()) {
            QToolTip::hideText();
            event->ignore();
        } else {
            QToolTip::showText(help->globalPos(), text, this);
        }
        return true;
    }
    return QWidget::event(event);
}

QString TSlotTimeline::DetailsAt(const QPoint& at) const {
    if (events_ == nullptr || events_->columns.total == 0 || at.x() < LEFT) {
        return {};
    }
    const uint64_t number = ShownFirstSlot() + static_cast<uint64_t>((at.x() - LEFT) / CELL_WIDTH);
    if (!events_->columns.has(number)) {
        return {};
    }
    if (at.y() >= TOP && at.y() < ROWS_TOP) {
        const SlotInjections injections = injections_of(events_->columns.at(number), events_->injections);
        if (injections.count > 0 && std::abs(MarkerLeft(number) - at.x()) <= MARKER_REACH) {
            return injections.count == 1 ? InjectionDetails(injections.first) : SlotInjectionDetails(number);
        }
        return MembershipDetails(number);
    }
    for (unsigned n = 0; n < NODE_COUNT; ++n) {
        if (at.y() >= RowTop(n) && at.y() < RowTop(n) + ROW_HEIGHT) {
            return CellDetails(number, n);
        }
    }
    return {};
}

QString TSlotTimeline::CellDetails(uint64_t number, unsigned node) const {
    const SlotColumn& column = events_->columns.at(number);
    const SlotCell& cell = column.cells[node];
    QString text = QString("%1, slot %2 (cycle position %3)\nfrom %4 us to %5 us\n")
                       .arg(CLUSTER_NODES[node].name)
                       .arg(number)
                       .arg(column.medl_position)
                       .arg(column.start_us, 0, 'f', 4)
                       .arg(column.end_us, 0, 'f', 4);
    text += "state at the end: " + state_caption(cell.state) + "\n";
    if (cell.worst != cell.state) {
        text += "passed through: " + state_caption(cell.worst) + "\n";
    }
    text += QString("sent: %1\n").arg(cell.sent != 0 ? "yes" : "no");
    text += cell.judgement == JUDGED_NOTHING
                ? QString("judged: nothing (not running slots)\n")
                : QString("judged the frame: %1\n").arg(judgement_name(cell.judgement));
    text += "membership vector (M1 M2 O1 O2 positions): " + membership_text(cell.membership);
    if ((cell.events & CELL_FROZE) != 0) {
        text += "\nfroze in this slot";
    }
    if ((cell.events & CELL_GUARDIAN_FAILED) != 0) {
        text += "\nits bus guardian failed (Node Failure)";
    }
    text += InjectionLines(cell_rows(cell, node, events_->injections, DETAIL_INJECTIONS));
    return text;
}

QString TSlotTimeline::InjectionLines(const RowList& rows) const {
    QString text;
    for (uint64_t injection : rows.numbers) {
        text += "\n" + (events_->injections.has(injection)
                            ? injection_summary(injection, events_->injections.at(injection))
                            : QString("injection #%1").arg(injection));
    }
    if (rows.count > rows.numbers.size()) {
        text += QString("\n... and %1 more").arg(rows.count - rows.numbers.size());
    }
    return text;
}

QString TSlotTimeline::SlotInjectionDetails(uint64_t number) const {
    const SlotColumn& column = events_->columns.at(number);
    QString text =
        QString("%1 injections in slot %2").arg(injections_of(column, events_->injections).count).arg(number);
    for (unsigned n = 0; n < NODE_COUNT; ++n) {
        const SlotCell& cell = column.cells[n];
        if (cell.injections > 0) {
            text += QString("\ninto %1:").arg(CLUSTER_NODES[n].name) +
                    InjectionLines(cell_rows(cell, n, events_->injections, DETAIL_INJECTIONS));
        }
    }
    return text;
}

QString TSlotTimeline::InjectionDetails(uint64_t number) const {
    if (!events_->injections.has(number)) {
        return QString("injection #%1 (no longer kept)").arg(number);
    }
    const InjectionRecord& r = events_->injections.at(number);
    return injection_summary(number, r) +
           QString("\nkernel step %1, %2").arg(r.step).arg(r.source == SOURCE_PERIODIC ? "periodic" : "now");
}

QString TSlotTimeline::MembershipDetails(uint64_t number) const {
    const SlotColumn& column = events_->columns.at(number);
    if ((column.flags & COLUMN_MEMBERSHIP_CHANGED) == 0 || !events_->columns.has(number - 1)) {
        return {};
    }
    const SlotColumn& before = events_->columns.at(number - 1);
    QString text = QString("Membership changed in slot %1 (M1 M2 O1 O2 positions):").arg(number);
    for (unsigned n = 0; n < NODE_COUNT; ++n) {
        const uint8_t was = before.cells[n].membership;
        const uint8_t now = column.cells[n].membership;
        if (was != now) {
            text += QString("\n%1: %2 -> %3")
                        .arg(CLUSTER_NODES[n].name, membership_text(was), membership_text(now));
        }
    }
    return text;
}

QString state_caption(uint8_t state) {
    return state == STATE_NONE ? QString("-") : QString::fromUtf8(protocol_state_display(state).caption);
}
