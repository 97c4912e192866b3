#pragma once

#include "error.h"

#include <QCoroTask>
#include <exception>
#include <optional>
#include <type_traits>

// Runs a task to completion in a nested event loop and returns its result or rethrows its
// exception. QCoro::waitFor never returns when the task throws, hence this wrapper.
namespace blocking {

// Task<std::exception_ptr> is not allowed, so the failure travels in a struct.
struct Settled
{
    std::exception_ptr failure;
};

template<typename T> QCoro::Task<Settled> settle(QCoro::Task<T> task, std::optional<T>* result)
{
    try {
        result->emplace(co_await std::move(task));
    } catch (...) {
        co_return Settled { std::current_exception() };
    }
    co_return Settled {};
}

inline QCoro::Task<Settled> settle(QCoro::Task<void> task)
{
    try {
        co_await std::move(task);
    } catch (...) {
        co_return Settled { std::current_exception() };
    }
    co_return Settled {};
}

} // namespace blocking

template<typename T> T blockingWait(QCoro::Task<T> task)
{
    if constexpr (std::is_void_v<T>) {
        if (std::exception_ptr failure
            = QCoro::waitFor(blocking::settle(std::move(task))).failure) {
            std::rethrow_exception(failure);
        }
    } else {
        std::optional<T> result;
        if (std::exception_ptr failure
            = QCoro::waitFor(blocking::settle(std::move(task), &result)).failure) {
            std::rethrow_exception(failure);
        }
        return std::move(*result);
    }
}

// The message of the Error that `task` throws, or an empty string when it does not throw.
template<typename Task> QString failureOf(Task&& task)
{
    try {
        blockingWait(std::forward<Task>(task));
    } catch (const Error& error) {
        return error.message();
    }
    return {};
}
