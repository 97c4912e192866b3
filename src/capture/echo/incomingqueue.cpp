#include "echo/incomingqueue.h"

#include <utility>

using namespace echo;

IncomingQueue::IncomingQueue(const AudioSource::Handler& output, std::function<void()> releaseHeld)
    : m_output(output)
    , m_releaseHeld(std::move(releaseHeld))
{ }

void IncomingQueue::pushReference(const PcmBuffer& buffer, std::uint64_t hostTime) noexcept
{
    if (buffer.frameLength <= 0 || buffer.format.sampleRate <= 0
        || buffer.format.channelCount <= 0) {
        return;
    }
    try {
        const std::lock_guard lock(m_queueMutex);
        if (m_gaveUp || m_stopping) {
            return;
        }
        // A canceller held up (by a slow disk under its output) has no use for more call audio
        // than it would keep: the oldest goes.
        m_incomingReference.emplace_back(buffer, hostTime);
        m_incomingReferenceQueued += m_incomingReference.back().duration();
        std::size_t dropped = 0;
        while (m_incomingReferenceQueued > maximumBacklog + 2 * referenceHistory) {
            m_incomingReferenceQueued -= m_incomingReference[dropped++].duration();
        }
        m_incomingReference.erase(
            m_incomingReference.begin(), m_incomingReference.begin() + std::ptrdiff_t(dropped));
        m_newData = true;
    } catch (...) {
        return; // out of memory: the call goes without its reference for a moment
    }
    m_wake.notify_one();
}

void IncomingQueue::pushMicrophone(const PcmBuffer& buffer, std::uint64_t hostTime) noexcept
{
    if (buffer.frameLength <= 0 || buffer.format.sampleRate <= 0
        || buffer.format.channelCount <= 0) {
        return;
    }
    {
        std::unique_lock lock(m_queueMutex);
        if (!m_gaveUp && !m_stopping) {
            try {
                m_incomingMicrophone.emplace_back(buffer, hostTime);
                m_incomingBacklog += m_incomingMicrophone.back().duration();
                m_newData = true;
            } catch (...) {
                // Cannot queue: write it here, behind whatever the canceller still holds.
                if (m_processing.try_lock()) {
                    const std::lock_guard processing(m_processing, std::adopt_lock);
                    giveUp();
                }
                lock.unlock();
                m_output(buffer, hostTime);
                return;
            }
            if (m_incomingBacklog > stuckBacklog && m_processing.try_lock()) {
                const std::lock_guard processing(m_processing, std::adopt_lock);
                giveUp();
            }
            if (!m_gaveUp) {
                lock.unlock();
                m_wake.notify_one();
                return;
            }
            return; // giveUp() wrote this buffer with the rest
        }
    }
    m_output(buffer, hostTime);
}

void IncomingQueue::stop() noexcept
{
    {
        const std::lock_guard lock(m_queueMutex);
        m_stopping = true;
    }
    m_wake.notify_one();
}

void IncomingQueue::serve(const Work& work)
{
    std::vector<Chunk> microphoneChunks;
    std::vector<Chunk> referenceChunks;
    for (;;) {
        {
            std::unique_lock lock(m_queueMutex);
            m_wake.wait(lock, [this] { return m_newData || m_stopping || m_gaveUp; });
        }
        const std::lock_guard working(m_processing);
        bool last = false;
        {
            const std::lock_guard lock(m_queueMutex);
            // Held up for longer than the microphone's own thread could see (it cannot take over
            // while this thread is busy with the output): stand aside now, in order.
            if (m_incomingBacklog > stuckBacklog) {
                giveUp();
            }
            if (m_gaveUp) {
                return;
            }
            microphoneChunks.swap(m_incomingMicrophone);
            referenceChunks.swap(m_incomingReference);
            m_incomingBacklog = 0;
            m_incomingReferenceQueued = 0;
            m_newData = false;
            last = m_stopping;
        }
        try {
            work(microphoneChunks, referenceChunks, last);
        } catch (...) {
            const std::lock_guard lock(m_queueMutex);
            giveUp();
            return;
        }
        if (last) {
            return;
        }
    }
}

// Both mutexes held: everything still held goes out raw, in order, and the canceller stops.
void IncomingQueue::giveUp() noexcept
{
    if (m_gaveUp) {
        return;
    }
    m_gaveUp = true;
    m_releaseHeld();
    for (const Chunk& chunk : m_incomingMicrophone) {
        m_output(chunk.view(), chunk.hostTime);
    }
    m_incomingMicrophone.clear();
    m_incomingReference.clear();
    m_incomingBacklog = 0;
    m_incomingReferenceQueued = 0;
    m_wake.notify_one();
}
