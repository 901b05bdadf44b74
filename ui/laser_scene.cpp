#include "ui/laser_scene.h"

#include <QPainter>

#include <cmath>
#include <numbers>

namespace {

// Fixed geometry of the scene, in image pixels (y downwards).
constexpr int AXIS_Y = 42;
constexpr int MOTOR_X = 50;
constexpr double ARM_LENGTH = 45.0;
constexpr int GRID_STEP = 80;
constexpr int GRID_LAST_X = 560;
constexpr int GRID_TOP = 2;
constexpr int GRID_BOTTOM = 82;
constexpr double SHADOW_ANGLE = 0.01; // the grey line's lead and lag, fraction of a revolution
const QRect TARGET(QPoint(590, 65), QPoint(610, 69));
const QRect LASER(QPoint(588, 15), QPoint(592, 19));
const QPoint TARGET_CENTRE(590, 67);
const QPoint LASER_CENTRE(590, 17);

const QColor BLUE(0x00, 0x00, 0xFF);
const QColor YELLOW(0xFF, 0xFF, 0x00);
const QColor GREY(0x80, 0x80, 0x80);

/// A point of the arm's circle at angle a (fraction of a revolution), coordinates truncated.
QPoint arm_point(double a, double sign) {
    const double phi = 2.0 * std::numbers::pi * a;
    return {static_cast<int>(MOTOR_X + sign * ARM_LENGTH * std::cos(phi)),
            static_cast<int>(AXIS_Y - sign * ARM_LENGTH * std::sin(phi))};
}

/// Rectangle and ellipse given by two corners, as the drawing describes them.
void draw_box(QPainter& p, const QRect& box, bool ellipse) {
    const QRect r(box.topLeft(), QSize(box.width() - 1, box.height() - 1));
    if (ellipse) {
        p.drawEllipse(r);
    } else {
        p.drawRect(r);
    }
}

} // namespace

QImage make_scene_image() {
    QImage image(SCENE_WIDTH, SCENE_HEIGHT, QImage::Format_RGB32);
    image.fill(Qt::black);
    return image;
}

void draw_scene(QImage& image, float angle, bool hit) {
    image.fill(Qt::black);
    QPainter p(&image);
    p.setBrush(Qt::NoBrush);
    const auto pen = [&p](const QColor& colour) { p.setPen(QPen(colour, 2, Qt::SolidLine)); };

    pen(BLUE);
    draw_box(p, TARGET, false);
    pen(YELLOW);
    draw_box(p, LASER, true);

    pen(GREY);
    p.drawLine(0, AXIS_Y, SCENE_WIDTH, AXIS_Y);
    for (int x = 0; x <= GRID_LAST_X; x += GRID_STEP) {
        p.drawLine(x, GRID_TOP, x, GRID_BOTTOM);
    }

    const double a = angle;
    pen(YELLOW);
    p.drawLine(arm_point(a, 1.0), arm_point(a, -1.0));
    pen(GREY);
    p.drawLine(arm_point(a + SHADOW_ANGLE, 1.0), arm_point(a - SHADOW_ANGLE, -1.0));

    if (hit) {
        pen(BLUE);
        p.drawLine(TARGET_CENTRE, QPoint(MOTOR_X, AXIS_Y));
        p.drawLine(QPoint(MOTOR_X, AXIS_Y), LASER_CENTRE);
    }
}
