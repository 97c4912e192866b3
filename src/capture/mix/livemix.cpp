#include "mix/livemix.h"

#include "mix/liveencoding.h"

#include <chrono>
#include <pthread.h>

LiveMix::LiveMix(Files files, Settings settings)
    : m_settings(std::move(settings))
    , m_encoding(std::make_unique<Encoding>(files, m_settings.gapTolerance, m_settings.feed))
    , m_thread([this] { run(); })
{ }

LiveMix::~LiveMix()
{
    m_closing = true;
    giveUp();
    if (m_thread.joinable()) {
        m_thread.join();
    }
}

void LiveMix::append(Input input, const PcmBuffer& buffer, std::uint64_t hostTime) noexcept
{
    if (buffer.frameLength <= 0 || m_givenUp.load(std::memory_order_relaxed)) {
        return;
    }
    const std::size_t size = buffer.data.size();
    std::unique_ptr<Chunk> chunk;
    {
        std::unique_lock lock(m_mutex);
        if (m_queuedBytes + size > m_settings.queueBytes) {
            if (!m_settings.waitWhenFull) {
                lock.unlock();
                giveUp(); // fallen behind: the tracks will be mixed after the stop
                return;
            }
            m_space.wait(lock, [&] {
                return m_queuedBytes == 0 || m_queuedBytes + size <= m_settings.queueBytes
                    || m_givenUp || m_finishing;
            });
        }
        if (m_givenUp || m_finishing) {
            return;
        }
        m_queuedBytes += size;
        if (!m_spare.empty()) {
            chunk = std::move(m_spare.back());
            m_spare.pop_back();
        }
    }
    try {
        if (!chunk) {
            chunk = std::make_unique<Chunk>();
        }
        chunk->input = input;
        chunk->hostTime = hostTime;
        chunk->format = buffer.format;
        chunk->frames = buffer.frameLength;
        chunk->bytes.assign(buffer.data.begin(), buffer.data.end());
    } catch (...) {
        giveUp();
        return;
    }
    const std::lock_guard lock(m_mutex);
    m_pending.push_back(std::move(chunk));
}

void LiveMix::giveUp() noexcept
{
    {
        const std::lock_guard lock(m_mutex);
        m_givenUp = true;
    }
    m_wake.notify_all();
    m_space.notify_all();
}

void LiveMix::run()
{
    using namespace std::chrono_literals;
    pthread_setname_np(pthread_self(), "Parlevox.mix");
    std::vector<std::unique_ptr<Chunk>> batch;
    std::size_t batchBytes = 0;
    while (true) {
        {
            std::unique_lock lock(m_mutex);
            m_queuedBytes -= batchBytes;
            for (std::unique_ptr<Chunk>& chunk : batch) {
                m_spare.push_back(std::move(chunk));
            }
            batch.clear();
            if (batchBytes > 0) {
                m_space.notify_all();
            }
            // The callbacks do not signal each buffer: a batch every few tens of milliseconds.
            m_wake.wait_for(lock, 40ms, [this] { return m_givenUp || m_finishing; });
            if (m_givenUp) {
                m_pending.clear();
                m_spare.clear();
                if (m_settings.feed && !m_closing) {
                    m_settings.feed->lost();
                }
                return;
            }
            batch.swap(m_pending);
            if (batch.empty() && m_finishing) {
                return;
            }
        }
        batchBytes = 0;
        for (const std::unique_ptr<Chunk>& chunk : batch) {
            batchBytes += chunk->bytes.size();
        }
        try {
            if (m_settings.beforeDrain && !batch.empty()) {
                m_settings.beforeDrain();
            }
            for (const std::unique_ptr<Chunk>& chunk : batch) {
                m_encoding->add(*chunk);
            }
            m_encoding->encodeReady();
        } catch (...) {
            giveUp();
        }
    }
}

bool LiveMix::finish(const Layout& layout) noexcept
{
    {
        const std::lock_guard lock(m_mutex);
        m_finishing = true;
    }
    m_wake.notify_all();
    m_space.notify_all();
    if (m_thread.joinable()) {
        m_thread.join();
    }
    if (m_givenUp) {
        return false;
    }
    try {
        return m_encoding->finish(layout);
    } catch (...) {
        return false;
    }
}
