#pragma once

#include "audiosource.h"

#include <cstdint>
#include <memory>

// Removes the call from the microphone: the call is the far-end reference, placed against the
// microphone by host time, and a 10 ms acoustic echo canceller runs on a thread of its own. Both
// feeds copy the buffer and return at once. Every microphone buffer comes out again through the
// output handler, with its own length, format and host time, either cancelled or, where the call
// was silent for the last half second, untouched. If the canceller cannot run or falls behind,
// the raw microphone comes out instead: nothing is dropped.
class EchoCanceller
{
public:
    // `output` runs on the canceller's thread (on the microphone's once the canceller gave up).
    explicit EchoCanceller(AudioSource::Handler output);
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
