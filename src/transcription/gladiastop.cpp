// Stopping a run on request: the cancellation error and a wait that a stop request cuts short.

#include "error.h"
#include "gladia.h"

#include <QCoreApplication>
#include <QCoroTask>
#include <QCoroTimer>
#include <QTimer>

void Gladia::throwCancelled()
{
    // The very text an aborted network reply carries, so both ways of stopping read the same.
    throw PlatformError(QCoreApplication::translate("QNetworkReply", "Operation canceled"));
}

void Gladia::throwIfStopped(const std::stop_token& stop)
{
    if (stop.stop_requested()) {
        throwCancelled();
    }
}

QCoro::Task<void> Gladia::pause(std::chrono::milliseconds interval, std::stop_token stop)
{
    throwIfStopped(stop);
    QTimer timer;
    timer.setSingleShot(true);
    timer.setTimerType(Qt::PreciseTimer);
    timer.start(interval);
    {
        // The request may come from any thread; the timer is only touched on its own.
        std::stop_callback cutShort(stop, [&timer] {
            QMetaObject::invokeMethod(
                &timer, [&timer] { timer.start(0); }, Qt::QueuedConnection);
        });
        co_await timer;
    }
    throwIfStopped(stop);
}
