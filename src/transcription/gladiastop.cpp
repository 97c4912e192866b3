// Stopping a run on request: the cancellation error and a wait that a stop request cuts short.

#include "deletelater.h"
#include "gladia.h"
#include "transporterror.h"

#include <QCoroTask>
#include <QCoroTimer>
#include <QTimer>
#include <memory>

void Gladia::throwCancelled()
{
    // The same error an aborted exchange ends with, so every way of stopping reads the same.
    throw TransportError::cancelled();
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
    // The run resumes inside the timer's signal and may end there: the timer goes afterwards.
    const std::unique_ptr<QTimer, DeleteLater> timer(new QTimer);
    timer->setSingleShot(true);
    timer->setTimerType(Qt::PreciseTimer);
    timer->start(interval);
    {
        // The request may come from any thread; the timer is only touched on its own.
        std::stop_callback cutShort(stop, [raw = timer.get()] {
            QMetaObject::invokeMethod(
                raw, [raw] { raw->start(0); }, Qt::QueuedConnection);
        });
        co_await timer.get();
    }
    throwIfStopped(stop);
}
