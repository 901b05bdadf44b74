// Small display widgets of the main window and the About dialog: flat colour panels and labels, the
// circle indicators, clickable labels, and the glyphs of the run buttons.
#pragma once

#include "ui/display_format.h"

#include <QIcon>
#include <QLabel>
#include <QWidget>

/// An opaque rectangle of one colour (node state panels).
class TColourPanel : public QWidget {
    Q_OBJECT
  public:
    explicit TColourPanel(QWidget* parent, Rgb colour);
    void SetColour(Rgb colour);
    Rgb Colour() const { return colour_; }

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    Rgb colour_;
};

/// A label with a background colour of its own (bus guardian states).
class TColourLabel : public QLabel {
    Q_OBJECT
  public:
    TColourLabel(const QString& text, QWidget* parent, Rgb colour);
    void SetColour(Rgb colour);
    Rgb Colour() const { return colour_; }

  private:
    Rgb colour_;
};

/// A 13 x 13 circle with a black outline (membership and null-frame indicators).
class TCircle : public QWidget {
    Q_OBJECT
  public:
    static constexpr int SIZE = 13;
    TCircle(QWidget* parent, Rgb colour);
    void SetColour(Rgb colour);
    Rgb Colour() const { return colour_; }

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    Rgb colour_;
};

/// A label that reacts to a click of the left mouse button (links and logos).
class TClickableLabel : public QLabel {
    Q_OBJECT
  public:
    explicit TClickableLabel(QWidget* parent);

  signals:
    void clicked();

  protected:
    void mouseReleaseEvent(QMouseEvent* event) override;
};

QColor to_qcolor(Rgb colour);

/// Glyphs of the run buttons.
QIcon run_glyph();
QIcon stop_glyph();
QIcon trace_glyph();
QIcon rewind_glyph();
