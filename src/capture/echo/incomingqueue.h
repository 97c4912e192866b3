#pragma once

#include "echo/echochunk.h"

#include <condition_variable>
#include <functional>
#include <mutex>
#include <vector>

// Where the audio threads hand their buffers to the canceller's thread: copies queued under a
// mutex, the backlog counted, and the way out when the canceller's thread is stuck or fails. It
// then gives up for good, with both mutexes held: everything still held goes out raw, in order,
// and from then on the microphone goes straight to the output on its own thread. All the locking
// between the feeds and the canceller is here.
class IncomingQueue
{
public:
    // `output` writes the raw microphone; `releaseHeld` lets out, raw and in order, what the
    // canceller holds when it gives up. Both outlive the queue.
    IncomingQueue(const AudioSource::Handler& output, std::function<void()> releaseHeld);

    void pushReference(const PcmBuffer& buffer, std::uint64_t hostTime) noexcept;
    void pushMicrophone(const PcmBuffer& buffer, std::uint64_t hostTime) noexcept;
    // No more buffers: the canceller's thread does its last round and leaves `serve`.
    void stop() noexcept;

    // The canceller's thread: waits for buffers and passes them to `work` (which takes them
    // from the vectors, `last` on the round after `stop`) with the processing mutex held, until
    // the last round, or until the canceller gives up (also when `work` throws).
    using Work = std::function<void(
        std::vector<echo::Chunk>& microphone, std::vector<echo::Chunk>& reference, bool last)>;
    void serve(const Work& work);

private:
    void giveUp() noexcept;

    const AudioSource::Handler& m_output;
    std::function<void()> m_releaseHeld;

    // Shared with the feeding threads.
    std::mutex m_queueMutex;
    std::condition_variable m_wake;
    std::vector<echo::Chunk> m_incomingMicrophone;
    std::vector<echo::Chunk> m_incomingReference;
    double m_incomingBacklog = 0; // nanoseconds of microphone audio queued
    double m_incomingReferenceQueued = 0; // and of call audio
    bool m_newData = false;
    bool m_stopping = false;
    // Set once, with both mutexes held: from then on the microphone goes straight to `output`.
    bool m_gaveUp = false;

    // Held by whoever works on what follows: the canceller's thread, or the microphone's thread
    // when it takes over from a stuck canceller.
    std::mutex m_processing;
};
