#pragma once

#include <QCoroFuture>
#include <QCoroTask>
#include <QtConcurrent>
#include <exception>
#include <optional>
#include <type_traits>

// Runs `work` on the global thread pool and resumes the awaiting coroutine on its own thread with
// the result, or rethrows there whatever `work` threw (of any type, unlike QFuture).
//
// The job and its future are named locals: GCC 12 destroys a non-trivial temporary made inside a
// co_await expression twice. Callers should likewise build `work` before their own co_await.
template<typename Work> auto runInBackground(Work work) -> QCoro::Task<std::invoke_result_t<Work>>
{
    using Result = std::invoke_result_t<Work>;
    if constexpr (std::is_void_v<Result>) {
        auto job = [work = std::move(work)]() mutable {
            try {
                work();
                return std::exception_ptr {};
            } catch (...) {
                return std::current_exception();
            }
        };
        QFuture<std::exception_ptr> future = QtConcurrent::run(std::move(job));
        const std::exception_ptr failure = co_await future;
        if (failure) {
            std::rethrow_exception(failure);
        }
    } else {
        struct Outcome
        {
            std::optional<Result> value;
            std::exception_ptr failure;
        };
        auto job = [work = std::move(work)]() mutable {
            Outcome result;
            try {
                result.value.emplace(work());
            } catch (...) {
                result.failure = std::current_exception();
            }
            return result;
        };
        QFuture<Outcome> future = QtConcurrent::run(std::move(job));
        Outcome outcome = co_await future;
        if (outcome.failure) {
            std::rethrow_exception(outcome.failure);
        }
        co_return std::move(*outcome.value);
    }
}
