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

// `result` is unused for a void task.
template<typename T, typename Result>
QCoro::Task<Settled> settle(QCoro::Task<T> task, Result* result)
{
    try {
        if constexpr (std::is_void_v<T>) {
            co_await std::move(task);
        } else {
            result->emplace(co_await std::move(task));
        }
    } catch (...) {
        co_return Settled { std::current_exception() };
    }
    co_return Settled {};
}

} // namespace blocking

template<typename T> T blockingWait(QCoro::Task<T> task)
{
    std::optional<std::conditional_t<std::is_void_v<T>, int, T>> result;
    if (std::exception_ptr failure
        = QCoro::waitFor(blocking::settle(std::move(task), &result)).failure) {
        std::rethrow_exception(failure);
    }
    if constexpr (!std::is_void_v<T>) {
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
