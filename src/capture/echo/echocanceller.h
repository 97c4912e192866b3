#pragma once

#include "audiosource.h"

#include <cstdint>
#include <functional>
#include <memory>

// Removes the call from the microphone: the call is the far-end reference, placed against the
// microphone by host time, and a 10 ms acoustic echo canceller runs on a thread of its own (with,
// beside it, a linear one that keeps the local voice where both talk: see DoubleTalkPath). Both
// feeds copy the buffer and return at once. Every microphone buffer comes out again through the
// output handler, with its own length, format and host time, either cancelled or, where the call
// was silent for the last half second, untouched. If the canceller cannot run or falls behind,
// the raw microphone comes out instead: nothing is dropped.
class EchoCanceller
{
public:
    // A fresh canceller holds the microphone back for a few seconds while it learns the room,
    // then puts it through again. What it holds is also handed to `held` as it comes, raw, and
    // `released` runs once all of it has gone out through `output`: the caller keeps it on disk
    // meanwhile, so that a crash loses none of it.
    struct Holding
    {
        AudioSource::Handler held;
        std::function<void()> released;
    };

    // `output` runs on the canceller's thread (on the microphone's once the canceller gave up),
    // and so do the holding handlers.
    explicit EchoCanceller(AudioSource::Handler output, Holding holding = {});
    ~EchoCanceller();
    EchoCanceller(const EchoCanceller&) = delete;
    EchoCanceller& operator=(const EchoCanceller&) = delete;

    // The call as it was played; `hostTime` is the time of its first frame.
    void pushReference(const PcmBuffer& buffer, std::uint64_t hostTime) noexcept;
    // The microphone; its buffers come out through `output` in the same order.
    void pushMicrophone(const PcmBuffer& buffer, std::uint64_t hostTime) noexcept;

    // Hands out everything still held and ends the thread; call it once both feeds have stopped.
    // Nothing is passed to `output` afterwards.
    void finish() noexcept;

private:
    struct State;
    std::unique_ptr<State> m_state;
};
