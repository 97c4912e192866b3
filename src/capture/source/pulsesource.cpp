#include "source/pulsesource.h"

#include "source/pulsestream.h"

PulseSource::PulseSource(std::unique_ptr<Stream> stream)
    : m_stream(std::move(stream))
{ }

PulseSource::~PulseSource() = default;

std::unique_ptr<PulseSource> PulseSource::openMicrophone(const QByteArray& server)
{
    // The stream is released by its own destructor if opening throws half-way.
    auto stream = std::make_unique<Stream>(StreamRole::microphone);
    stream->openMicrophone(server);
    return std::unique_ptr<PulseSource>(new PulseSource(std::move(stream)));
}

std::unique_ptr<PulseSource> PulseSource::openSystemAudio(const QByteArray& server)
{
    auto stream = std::make_unique<Stream>(StreamRole::systemAudio);
    stream->openSystemAudio(server);
    return std::unique_ptr<PulseSource>(new PulseSource(std::move(stream)));
}

void PulseSource::start(Handler handler)
{
    m_stream->start(std::move(handler));
}

void PulseSource::stop() noexcept
{
    m_stream->release();
}

const PcmFormat& PulseSource::format() const
{
    return m_stream->format;
}

const QByteArray& PulseSource::device() const
{
    return m_stream->device;
}

std::uint64_t PulseSource::streamNumber() const
{
    return m_stream->streams.load(std::memory_order_relaxed);
}

bool PulseSource::measuresTime() const
{
    return true;
}

std::optional<std::uint64_t> PulseSource::measuredTime() const
{
    return m_stream->reader.measured();
}

std::vector<AudioLoss> PulseSource::losses() const
{
    if (m_stream->loop && m_stream->loopRunning) {
        MainLoopLock lock(m_stream->loop);
        return m_stream->losses;
    }
    return m_stream->losses;
}
