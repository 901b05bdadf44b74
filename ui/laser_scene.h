// The laser scene above the cluster: the motor's arm turning, the laser and its target, and the shot when
// the laser has just scored a hit. Drawn into an off-screen image that the window copies to its scene box.
#pragma once

#include <QImage>

constexpr int SCENE_WIDTH = 640;
constexpr int SCENE_HEIGHT = 100;

/// A new scene image (640 x 100).
QImage make_scene_image();
/// Draws the whole scene for motor angle `angle` (fraction of a revolution); `hit` adds the shot.
void draw_scene(QImage& image, float angle, bool hit);
