#pragma once

#include <QCoroTask>
#include <exception>
#include <optional>

// What a finished task gave: its value or the error it raised.
template<typename Result> struct Settled
{
    std::optional<Result> value;
    std::exception_ptr error;
};

template<typename Result>
QCoro::Task<> settleInto(QCoro::Task<Result> task, Settled<Result>* outcome)
{
    try {
        outcome->value.emplace(co_await std::move(task));
    } catch (...) {
        outcome->error = std::current_exception();
    }
}

// Runs the event loop until `task` ends. Unlike QCoro::waitFor, an error raised by the task comes
// back instead of leaving the loop running for ever.
template<typename Result> Settled<Result> settle(QCoro::Task<Result> task)
{
    Settled<Result> outcome;
    QCoro::waitFor(settleInto(std::move(task), &outcome));
    return outcome;
}
