#include "source/pulsestreamreader.h"

#include "hostclock.h"

#include <algorithm>
#include <pulse/timeval.h>
#include <utility>

namespace {

// The server passes audio on in blocks of a few milliseconds (as small as 2 ms from a monitor
// that a call plays into at low latency). Once the stream's clock is settled, the handler gets
// them together, at least this much at a time: each buffer costs the track, the echo canceller
// and the live mix a lock, a copy and a write.
constexpr pa_usec_t deliveryUsec = 20'000;
// The first frame's time is the median of what this many timing reports say (about 0.3 s of
// audio), and audio is held back for a second at most while they come in.
constexpr std::size_t settlingEstimates = 15;
constexpr std::uint64_t maximumHoldNanoseconds = 1'000'000'000;
constexpr std::uint64_t settlingReportNanoseconds = 10'000'000;
// Then a report every 100 ms or so gives the clock follower points to fit a rate on.
constexpr std::uint64_t settledReportNanoseconds = 100'000'000;

} // namespace

PulseStreamReader::PulseStreamReader(std::function<void(std::uint64_t)> resumed)
    : m_resumed(std::move(resumed))
{ }

void PulseStreamReader::begin(const pa_sample_spec& spec, const PcmFormat& format)
{
    m_spec = spec;
    m_format = format;
    m_held.clear();
    m_firstFrameEstimates.clear();
    m_settled = false;
    m_timingUpdates = 0;
    m_timingUpdatesAtFirstData = -1;
    m_capturePoint.reset();
    m_capturePointFresh = false;
    m_framesRead = 0;
}

void PulseStreamReader::releaseHeld()
{
    if (!m_settled && !m_held.empty()) {
        deliverHeld(currentHostTime());
    }
}

// Host time of the first frame of the chunk at the read position: now, minus the audio that
// the source captured since then (the stream latency; negative for a monitor whose sink plays
// later than it renders).
std::uint64_t PulseStreamReader::firstFrameHostTime(pa_stream* stream) const
{
    const std::uint64_t now = currentHostTime();
    pa_usec_t latency = 0;
    int negative = 0;
    if (pa_stream_get_latency(stream, &latency, &negative) < 0) {
        // No timing yet: at least what waits in the client buffer was captured before now.
        latency = pa_bytes_to_usec(pa_stream_readable_size(stream), &m_spec);
        negative = 0;
    }
    const std::uint64_t nanoseconds = std::uint64_t(latency) * 1000u;
    return negative ? now + nanoseconds : now - std::min(now, nanoseconds);
}

// The byte at the server's write index was captured the source's latency before the report
// was made; the report's time is on the wall clock. A sink's monitor renders ahead of what the
// sink plays, and what the call plays is heard (and echoed) when the sink plays it: the sink's
// latency after.
void PulseStreamReader::timingArrived(pa_stream* stream)
{
    ++m_timingUpdates;
    const pa_timing_info* timing = pa_stream_get_timing_info(stream);
    if (!timing || timing->write_index_corrupt || timing->read_index_corrupt
        || timing->source_usec > 10'000'000 || timing->sink_usec > 10'000'000) {
        return;
    }
    timeval wallNow {};
    pa_gettimeofday(&wallNow);
    const auto sinceReport = std::int64_t(pa_timeval_diff(&wallNow, &timing->timestamp)) * 1000;
    const std::int64_t captured = sinceReport
        + (std::int64_t(timing->source_usec) - std::int64_t(timing->sink_usec)) * 1000;
    const std::uint64_t now = currentHostTime();
    if (pa_timeval_cmp(&wallNow, &timing->timestamp) < 0 || captured > std::int64_t(now)) {
        return;
    }
    const auto unread = std::int64_t(timing->write_index - timing->read_index)
        / std::int64_t(pa_frame_size(&m_spec));
    m_capturePoint
        = CapturePoint { m_framesRead + unread, std::uint64_t(std::int64_t(now) - captured) };
    m_capturePointFresh = true;
}

// Asks for timing at most every `interval`.
void PulseStreamReader::requestTiming(pa_stream* stream, std::uint64_t interval)
{
    const std::uint64_t now = currentHostTime();
    if (now - m_timingRequestedAt < interval) {
        return;
    }
    m_timingRequestedAt = now;
    if (pa_operation* update = pa_stream_update_timing_info(stream, nullptr, nullptr)) {
        pa_operation_unref(update);
    }
}

// Where the latest report puts the next frame read, once per report.
std::optional<std::uint64_t> PulseStreamReader::takeMeasurement()
{
    if (!m_capturePoint || !m_capturePointFresh) {
        return std::nullopt;
    }
    m_capturePointFresh = false;
    const std::int64_t after = m_framesRead - m_capturePoint->frame;
    const auto offset = std::int64_t(double(after) * 1e9 / m_spec.rate);
    return std::uint64_t(std::int64_t(m_capturePoint->hostTime) + offset);
}

std::uint64_t PulseStreamReader::framesToNanoseconds(std::int64_t frames) const
{
    return std::uint64_t(frames) * 1'000'000'000u / m_spec.rate;
}

// Hands a chunk of the settled stream over, at its place on the stream's clock;
// `measuredTime` is where the server's timing puts it.
void PulseStreamReader::deliver(
    std::span<const std::byte> bytes, std::optional<std::uint64_t> measuredTime)
{
    const std::int64_t frames = std::int64_t(bytes.size() / pa_frame_size(&m_spec));
    if (frames <= 0) {
        return;
    }
    const std::uint64_t hostTime = m_streamStart + framesToNanoseconds(m_streamFrames);
    m_measured = measuredTime;
    if (m_handler) {
        m_handler(PcmBuffer { m_format, frames,
                      bytes.first(std::size_t(frames) * pa_frame_size(&m_spec)) },
            hostTime);
    }
    m_streamFrames += frames;
    m_lastEnd = m_streamStart + framesToNanoseconds(m_streamFrames);
}

std::uint64_t PulseStreamReader::heldNanoseconds() const
{
    return std::uint64_t(pa_bytes_to_usec(m_held.size(), &m_spec)) * 1000u;
}

// Settles the stream's clock and hands over the held audio as one buffer, its first frame at
// the median estimate, or just before the chunk at `nextHostTime` when there is none.
void PulseStreamReader::deliverHeld(std::uint64_t nextHostTime)
{
    m_settled = true;
    std::uint64_t first = nextHostTime - std::min(nextHostTime, heldNanoseconds());
    if (!m_firstFrameEstimates.empty()) {
        const auto middle
            = m_firstFrameEstimates.begin() + std::ptrdiff_t(m_firstFrameEstimates.size() / 2);
        std::nth_element(m_firstFrameEstimates.begin(), middle, m_firstFrameEstimates.end());
        first = *middle;
    }
    m_streamStart = first;
    m_streamFrames = 0;
    m_resumed(first);
    deliver(m_held, std::nullopt);
    m_held = {};
    m_firstFrameEstimates = {};
}

void PulseStreamReader::accept(pa_stream* stream, std::span<const std::byte> chunk)
{
    if (!m_settled) {
        if (m_timingUpdatesAtFirstData < 0) {
            m_timingUpdatesAtFirstData = m_timingUpdates;
        }
        // Each report made since audio began to flow places the stream's first frame: the frame
        // it names was captured when it says, and the frames before it at the nominal rate.
        if (m_capturePoint && m_capturePointFresh && m_timingUpdates > m_timingUpdatesAtFirstData) {
            m_capturePointFresh = false;
            const std::uint64_t before = framesToNanoseconds(m_capturePoint->frame);
            m_firstFrameEstimates.push_back(
                m_capturePoint->hostTime - std::min(m_capturePoint->hostTime, before));
        }
        requestTiming(stream, settlingReportNanoseconds);
        if (m_firstFrameEstimates.size() < settlingEstimates
            && heldNanoseconds() < maximumHoldNanoseconds) {
            m_held.insert(m_held.end(), chunk.begin(), chunk.end());
            return;
        }
        deliverHeld(firstFrameHostTime(stream));
    }
    deliver(chunk, std::nullopt);
}

// Reads what the stream holds: every chunk until the clock is settled, then whatever has
// gathered once it makes a delivery's worth, or `everything` before the stream is let go.
void PulseStreamReader::read(pa_stream* stream, bool everything)
{
    if (m_settled && !everything) {
        const std::size_t readable = pa_stream_readable_size(stream);
        if (readable == std::size_t(-1) || readable < pa_usec_to_bytes(deliveryUsec, &m_spec)) {
            return;
        }
    }
    m_batch.clear();
    while (pa_stream_readable_size(stream) > 0) {
        const void* data = nullptr;
        std::size_t bytes = 0;
        if (pa_stream_peek(stream, &data, &bytes) < 0 || bytes == 0) {
            break;
        }
        const std::span<const std::byte> chunk { static_cast<const std::byte*>(data), bytes };
        if (data && m_settled) {
            if (m_batch.empty()) {
                m_batchMeasured = takeMeasurement();
            }
            m_batch.insert(m_batch.end(), chunk.begin(), chunk.end());
        } else {
            deliverBatch();
            if (data) {
                accept(stream, chunk);
            } else if (m_settled) {
                // A hole (no data, non-zero size) is not delivered, but its time passes.
                m_streamFrames += std::int64_t(bytes / pa_frame_size(&m_spec));
            } else {
                m_held.resize(m_held.size() + bytes - bytes % pa_frame_size(&m_spec));
            }
        }
        m_framesRead += std::int64_t(bytes / pa_frame_size(&m_spec));
        pa_stream_drop(stream);
    }
    deliverBatch();
    if (m_settled) {
        requestTiming(stream, settledReportNanoseconds);
    }
}

void PulseStreamReader::deliverBatch()
{
    if (!m_batch.empty()) {
        deliver(m_batch, m_batchMeasured);
        m_batch.clear();
    }
}
