#pragma once
// Waiting in tests: runs the Qt event loop until a condition holds or a
// deadline passes.

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QThread>
#include <functional>

// Processes events until `done()` is true or `timeoutMs` pass; returns done().
inline bool kcWaitFor(const std::function<bool()> &done, int timeoutMs = 5000) {
    QDeadlineTimer deadline(timeoutMs);
    while (!done()) {
        if (deadline.hasExpired())
            return done();
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(1);
    }
    return true;
}

// Processes events for `ms` milliseconds.
inline void kcSpin(int ms) {
    kcWaitFor([] { return false; }, ms);
}
