#include "CancellablePause.h"

#include <QMetaObject>
#include <QTimer>

#include <QCoroTimer>

QCoro::Task<> cancellablePause(std::chrono::milliseconds duration, std::stop_token stop)
{
    if (stop.stop_requested())
        co_return;
    QTimer timer;
    timer.setSingleShot(true);
    timer.start(duration);
    // Hop to the timer's thread. A stop that arrives after the timer is gone is dropped with the
    // timer's pending events.
    std::stop_callback onStop(stop, [&timer] {
        QMetaObject::invokeMethod(&timer, [&timer] { timer.start(0); }, Qt::QueuedConnection);
    });
    co_await timer;
}
