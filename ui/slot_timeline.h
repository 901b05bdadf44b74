// The observer's slot timeline: one column per TDMA slot, one row per node, drawn with QPainter from a copy
// of the slot recorder (SlotEventsCopy); it never sees the model.
//
// A cell is filled with the main window's colour of the node's state at the end of the slot. Marks inside
// it: a black bar along its foot when the node sent; a black glyph for how it judged the slot's frame
// (correct: a dot, null: a ring, invalid: a square, incorrect: a cross); a corner triangle in the colour
// of a worse state the node passed through during the slot. Above the rows a band of markers: one red
// triangle per slot with injections (at the time of its first within the slot) with a faint red line down
// the rows; when the slot holds more than one, the triangle is outlined in black and their number stands
// above it where it does not run into the number before (at the highest rate a slot holds hundreds: one
// mark per injection would paint a red block and cost a drawing per injection). A blue diamond marks each
// slot in which a membership vector changed, a grey zig-zag a slot that follows a gap (no node ran the
// schedule), a black frame the slot the run stopped after on an effect. Below the rows the slot numbers
// and times at each cluster cycle start, then a legend. Hovering over a cell, an injection marker or a
// membership marker shows the details (a slot's injections: the first few, then how many more).
//
// The newest slots are shown unless a first slot is set (scrolling back through the copy's history).
#pragma once

#include "ui/sine_wave_thread.h"

#include <QWidget>

#include <cstdint>

class TSlotTimeline : public QWidget {
    Q_OBJECT
  public:
    static constexpr int CELL_WIDTH = 12;
    static constexpr int MIN_VISIBLE_SLOTS = 64;

    explicit TSlotTimeline(QWidget* parent = nullptr);

    /// The copy to draw (owned by the caller, who calls update() when it changed); null: nothing.
    void SetEvents(const SlotEventsCopy* events);
    /// The first slot to show; 0 shows the newest slots.
    void SetFirstSlot(uint64_t number);
    uint64_t FirstSlot() const { return first_slot_; }
    /// How many slots fit beside each other at the present width.
    int VisibleSlots() const;
    /// The first slot actually shown (the newest ones when none is set).
    uint64_t ShownFirstSlot() const;

    /// Where the cell of slot `number` and node `node` is drawn; empty when it is not shown.
    QRect CellRect(uint64_t number, unsigned node) const;
    /// Where the marker of injection `number` is drawn (its centre): the one marker of its slot;
    /// (-1, -1) when it is not shown.
    QPoint InjectionMarker(uint64_t number) const;
    /// The text a hover at `at` shows; empty over nothing.
    QString DetailsAt(const QPoint& at) const;

    /// Draws the timeline into a painter of the given size (the widget, a picture, an SVG file).
    void Render(QPainter& p, const QSize& size) const;

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

  protected:
    void paintEvent(QPaintEvent* event) override;
    bool event(QEvent* event) override;

  private:
    int RowTop(unsigned node) const;
    int ColumnLeft(uint64_t number) const;
    /// The x of the injection marker of slot `number` (shown, with injections).
    int MarkerLeft(uint64_t number) const;
    void RenderCell(QPainter& p, const QRect& cell, const SlotCell& data) const;
    void RenderMarkers(QPainter& p, uint64_t first, uint64_t last) const;
    void RenderAxis(QPainter& p, uint64_t first, uint64_t last) const;
    void RenderLegend(QPainter& p, const QSize& size) const;
    QString CellDetails(uint64_t number, unsigned node) const;
    QString InjectionDetails(uint64_t number) const;
    QString SlotInjectionDetails(uint64_t number) const;
    /// A line per injection `first` .. `first + count - 1`, at most DETAIL_INJECTIONS, then how many more.
    QString InjectionLines(const RowList& rows) const;
    QString MembershipDetails(uint64_t number) const;

    const SlotEventsCopy* events_ = nullptr;
    uint64_t first_slot_ = 0;
};

/// "#12 at 12345.6789 us: O1 CNI word 218 (controller_on) bit 0 flip, 0x0000ffff -> 0x0000fffe".
QString injection_summary(uint64_t number, const InjectionRecord& record);
/// A state's caption as the main window shows it ("Application"); "-" for no state (STATE_NONE).
QString state_caption(uint8_t state);
