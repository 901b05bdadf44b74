// Waiting in the window tests: the window's events are processed while a condition is awaited, with a bound.
#pragma once

#include <QDeadlineTimer>
#include <QTest>

#include <chrono>
#include <functional>

/// Processes the window's events until `done` holds; false after `bound`.
inline bool WaitUntil(const std::function<bool()>& done,
                      std::chrono::milliseconds bound = std::chrono::seconds(30)) {
    QDeadlineTimer deadline(bound);
    while (!done()) {
        if (deadline.hasExpired()) {
            return false;
        }
        QTest::qWait(2);
    }
    return true;
}
