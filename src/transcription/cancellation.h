#pragma once

#include <QCoroFwd>
#include <chrono>
#include <stop_token>

// The platform's own error for work abandoned on request, with its text (Qt's "Operation
// canceled").
[[noreturn]] void throwCancelled();
// Throws the cancellation error when `stop` has been requested.
void throwIfStopped(const std::stop_token& stop);
// Waits `interval` on a monotonic timer; a stop request cuts it short with the cancellation error.
[[nodiscard]] QCoro::Task<void> pause(std::chrono::milliseconds interval, std::stop_token stop);
