#pragma once

#include "audiosource.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <pulse/pulseaudio.h>
#include <span>
#include <vector>

// Reads one libpulse record stream and gives each buffer the host time of its first frame, on the
// main-loop thread. A new stream's first moments are held back while the time of their first
// frame is settled from the timing reports that follow; from then on its chunks follow each other
// on the stream's own clock and go out together, each buffer with where the server's latest timing
// report puts it (`measured`). Holes in the stream pass as time, not as audio.
class PulseStreamReader
{
public:
    // `resumed` runs when a stream's first frame has its time, before any of it goes out.
    explicit PulseStreamReader(std::function<void(std::uint64_t firstFrame)> resumed);

    void setHandler(AudioSource::Handler handler) { m_handler = std::move(handler); }
    // A new stream, in `spec` delivered as `format`: its time is settled afresh.
    void begin(const pa_sample_spec& spec, const PcmFormat& format);
    // Reads what the stream holds: every chunk until the clock is settled, then whatever has
    // gathered once it makes a delivery's worth, or `everything` before the stream is let go.
    void read(pa_stream* stream, bool everything = false);
    // The stream's timing was updated.
    void timingArrived(pa_stream* stream);
    // The stream ends before its time was settled: what it held goes out now.
    void releaseHeld();

    // Where the latest report put the last buffer handed over; none when no report came since.
    [[nodiscard]] std::optional<std::uint64_t> measured() const { return m_measured; }
    // Host time just after the last frame handed over, whichever stream it came from.
    [[nodiscard]] std::optional<std::uint64_t> lastEnd() const { return m_lastEnd; }

private:
    [[nodiscard]] std::uint64_t firstFrameHostTime(pa_stream* stream) const;
    void requestTiming(pa_stream* stream, std::uint64_t interval);
    std::optional<std::uint64_t> takeMeasurement();
    [[nodiscard]] std::uint64_t framesToNanoseconds(std::int64_t frames) const;
    void deliver(std::span<const std::byte> bytes, std::optional<std::uint64_t> measuredTime);
    [[nodiscard]] std::uint64_t heldNanoseconds() const;
    void deliverHeld(std::uint64_t nextHostTime);
    void accept(pa_stream* stream, std::span<const std::byte> chunk);
    void deliverBatch();

    std::function<void(std::uint64_t)> m_resumed;
    AudioSource::Handler m_handler;
    pa_sample_spec m_spec {};
    PcmFormat m_format;
    // The first moments of each stream's audio wait here while the time of their first frame is
    // estimated from the timing reports that follow: timing known when audio begins to flow is
    // stale and can be tens of milliseconds off, a single report carries its own jitter, and the
    // library's latency drifts by what is read until its interpolation has learnt the stream.
    std::vector<std::byte> m_held;
    std::vector<std::byte> m_batch; // settled audio on its way to the handler, reused
    std::vector<std::uint64_t> m_firstFrameEstimates;
    bool m_settled = false;
    int m_timingUpdates = 0;
    int m_timingUpdatesAtFirstData = -1;
    // Once settled, a stream's chunks follow each other on its own clock: the time of its first
    // frame plus the frames delivered since, so that a continuous input stays continuous.
    std::uint64_t m_streamStart = 0;
    std::int64_t m_streamFrames = 0;
    // The server's own report of when the device captured a frame, each time timing arrives: a
    // device on a clock of its own drifts from the frames counted at the nominal rate. These are
    // the raw reports, not the library's interpolation, which learns a fresh stream's pace over
    // seconds and reads hundreds of ppm off meanwhile. Frames count everything read from the
    // stream since it opened.
    struct CapturePoint
    {
        std::int64_t frame = 0;
        std::uint64_t hostTime = 0;
    };
    std::optional<CapturePoint> m_capturePoint;
    bool m_capturePointFresh = false;
    std::int64_t m_framesRead = 0;
    std::uint64_t m_timingRequestedAt = 0;
    // Where the latest report puts the buffer being handled; none when no report came since the
    // buffer before.
    std::optional<std::uint64_t> m_measured;
    std::optional<std::uint64_t> m_batchMeasured;
    std::optional<std::uint64_t> m_lastEnd;
};
