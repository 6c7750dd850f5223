#pragma once

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>

#include <functional>

// Keeps the event loop turning until `done` holds or the time is up. Each pass runs events for
// up to `eventsMs`, then rests `restMs`: tests rest long, a benchmark measuring frame arrival
// rests short. Header-only so that benchmarks can use it without the test libraries.
inline bool waitUntil(const std::function<bool()> &done, int timeoutMs, int eventsMs = 50, int restMs = 50)
{
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < timeoutMs) {
        if (done())
            return true;
        QCoreApplication::processEvents(QEventLoop::AllEvents, eventsMs);
        QThread::msleep(static_cast<unsigned long>(restMs));
    }
    return done();
}
