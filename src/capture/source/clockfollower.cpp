#include "source/clockfollower.h"

#include "ffmpegsupport.h"
#include "source/linefit.h"

#include <algorithm>
#include <array>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <limits>
#include <mutex>
#include <optional>

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
}

using namespace ffmpeg;

namespace {

// A stream starts where the source placed its first frame, at the nominal rate: the source
// settles that time with care, whereas the times of a device's first moments wander (the server
// learns its pace), and would pass for a clock hundreds of ppm off. They are left out of the
// line, which is fitted once it spans 8 s and its two halves agree on the rate (see LineFit); from
// then on the stream follows how the times go on, from the start the source gave it.
constexpr double unfittedSeconds = 1.5;
// A difference between the times going out and the fitted line is taken back over this long, on
// top of the measured rate, at most 500 ppm faster or slower: half a millisecond a second, which
// the echo canceller follows, and under a cent, which nobody hears.
constexpr double correctionSeconds = 10;
constexpr double maximumCorrection = 5e-4;
// Resampling starts once the stream is this far off the host clock; until then it passes bit for
// bit, as a device on the host's own clock does.
constexpr double largestUncorrected = 2e-3; // seconds
// A device's times that step off the line for this many reports in a row (a few tenths of a
// second) moved for good; a single late report is a scheduling hiccup.
constexpr std::size_t stepReports = 3;

std::uint64_t framesToNanoseconds(std::int64_t frames, int rate)
{
    return std::uint64_t(frames) * 1'000'000'000u / std::uint64_t(rate);
}

// `later - earlier` in nanoseconds, either way round.
double difference(std::uint64_t later, std::uint64_t earlier)
{
    return double(std::int64_t(later - earlier));
}

} // namespace

class ClockFollower::Follower
{
public:
    Follower(AudioSource& source, AudioLoss::Input input, Handler output)
        : m_source(source)
        , m_input(input)
        , m_output(std::move(output))
    { }

    // On the source's thread.
    void handle(const PcmBuffer& buffer, std::uint64_t hostTime)
    {
        if (buffer.frameLength <= 0) {
            return;
        }
        const std::optional<std::uint64_t> measured
            = m_source.measuresTime() ? m_source.measuredTime() : hostTime;
        // A new stream, or the times of this one jumped: it starts again where the times are.
        const std::uint64_t number = m_source.streamNumber();
        if (!m_stream || number != m_stream->number || buffer.format != m_stream->format
            || jumped(*m_stream, hostTime)) {
            begin(buffer.format, hostTime, number);
        } else if (const std::optional<double> step = steppedBy(*m_stream, measured)) {
            stepTo(*step);
        }
        m_stream->lastTime = hostTime;
        m_stream->lastFrames = buffer.frameLength;
        Stream& stream = *m_stream;
        if (measured && double(stream.inFrames) * stream.period >= unfittedSeconds * 1e9) {
            stream.fit.add(double(stream.inFrames), difference(*measured, stream.origin));
            if (!stream.startOnLine && stream.fit.fitted()) {
                stream.startOnLine = stream.fit.at(0);
            }
        }
        stream.inFrames += buffer.frameLength;
        feed(stream, buffer);
    }

    // Once the source stopped: what the follower holds goes out, and nothing after it.
    void finish()
    {
        if (m_stream) {
            flush(*m_stream);
        }
        m_output = nullptr;
    }

    [[nodiscard]] std::vector<AudioLoss> losses() const
    {
        const std::lock_guard lock(m_mutex);
        return m_losses;
    }

private:
    struct Stream
    {
        std::uint64_t number = 0;
        PcmFormat format;
        double period = 0; // nominal nanoseconds per frame
        std::uint64_t origin = 0; // reported time of the first frame
        LineFit fit;
        std::int64_t inFrames = 0; // frames whose times were reported
        std::int64_t fedFrames = 0; // frames passed on or dropped
        std::int64_t skip = 0; // frames still to drop
        std::uint64_t lastTime = 0; // reported time of the last buffer
        std::int64_t lastFrames = 0;
        // Where the first line fitted puts the stream's first frame, against where the source
        // did: the source's start is trusted, only how the times go on from it is followed.
        std::optional<double> startOnLine;
        std::uint64_t outStart = 0; // host time of the first frame out
        std::int64_t outFrames = 0;
        std::vector<double> offLine; // how far the last reports in a row were off the line
        Resampler resampler; // none while the stream passes untouched
        bool unresampled = false; // the resampler could not be made: passed as it comes
    };

    // Whether this buffer's time does not follow on from the last one's: the server dropped
    // audio it could not hand over, or the source's clock was set anew. The times of a device
    // waking up may wander far from its line, but step by step.
    static bool jumped(const Stream& stream, std::uint64_t hostTime)
    {
        return std::abs(difference(hostTime, stream.lastTime)
                   - double(stream.lastFrames) * stream.period)
            > streamJump * 1e9;
    }

    // How far the device's times stepped off the line, once several reports in a row agree that
    // they did: the device overran and lost audio that its count of frames does not miss, or
    // the server's count was set anew.
    static std::optional<double> steppedBy(Stream& stream, std::optional<std::uint64_t> measured)
    {
        if (!measured || !stream.fit.fitted()) {
            return std::nullopt;
        }
        const double off
            = difference(*measured, stream.origin) - stream.fit.at(double(stream.inFrames));
        if (std::abs(off) <= streamJump * 1e9) {
            stream.offLine.clear();
            return std::nullopt;
        }
        stream.offLine.push_back(off);
        if (stream.offLine.size() < stepReports) {
            return std::nullopt;
        }
        std::sort(stream.offLine.begin(), stream.offLine.end());
        const double step = stream.offLine[stream.offLine.size() / 2];
        stream.offLine.clear();
        return step;
    }

    // The stream goes on `step` nanoseconds later (or earlier) than its count of frames says, as
    // a new one at the rate measured so far: a gap is lost audio, an overlap is dropped.
    void stepTo(double step)
    {
        Stream& old = *m_stream;
        flush(old);
        const std::uint64_t end
            = old.outStart + framesToNanoseconds(old.outFrames, old.format.sampleRate);
        const auto shift = std::uint64_t(std::llround(std::abs(step)));
        const std::uint64_t start = step > 0 ? end + shift : end - std::min(end, shift);
        const double period = old.fit.period();
        begin(old.format, start, old.number, AudioLoss::Cause::deviceOverrun);
        m_stream->fit = LineFit(m_stream->period, period);
        if (step > 0) {
            const std::lock_guard lock(m_mutex);
            m_losses.push_back({ m_input, AudioLoss::Cause::deviceOverrun, step / 1e9 });
        }
    }

    // A new stream starts at its first time, or where the last one ended when it would overlap:
    // the overlap is dropped and counted as lost, so that the tracks and the mix keep one
    // timeline.
    void begin(const PcmFormat& format, std::uint64_t hostTime, std::uint64_t number,
        AudioLoss::Cause cause = AudioLoss::Cause::deviceChange)
    {
        std::optional<std::uint64_t> previousEnd;
        if (m_stream) {
            flush(*m_stream);
            previousEnd = m_stream->outStart
                + framesToNanoseconds(m_stream->outFrames, m_stream->format.sampleRate);
        }
        const double period = 1e9 / format.sampleRate;
        m_stream.reset(new Stream { number, format, period, hostTime, LineFit(period) });
        m_stream->outStart = hostTime;
        if (previousEnd && hostTime < *previousEnd) {
            const std::uint64_t overlap = *previousEnd - hostTime;
            m_stream->outStart = *previousEnd;
            m_stream->skip = std::llround(double(overlap) / period);
            const std::lock_guard lock(m_mutex);
            m_losses.push_back({ m_input, cause, double(overlap) / 1e9 });
        }
    }

    void feed(Stream& stream, const PcmBuffer& buffer)
    {
        const std::int64_t skipped = std::min(stream.skip, buffer.frameLength);
        stream.skip -= skipped;
        const double ahead = aheadOf(stream, skipped);
        if (!stream.resampler && !stream.unresampled
            && (skipped > 0 || std::abs(ahead) > largestUncorrected)) {
            openResampler(stream);
        }
        // The measured rate, and a little more or less to take back how far the times going out
        // are from when their audio was captured.
        const double correction
            = std::clamp(-ahead / correctionSeconds, -maximumCorrection, maximumCorrection);
        const double ratio = stream.fit.period() / stream.period * (1 + correction);
        if (stream.resampler) {
            resample(stream, buffer, skipped, ratio);
        } else {
            emit(stream, buffer);
        }
        stream.fedFrames += buffer.frameLength;
    }

    // How far, in seconds, the time the next frame out gets is after when it was captured.
    [[nodiscard]] static double aheadOf(const Stream& stream, std::int64_t skipped)
    {
        const int rate = stream.format.sampleRate;
        const double held = stream.resampler
            ? double(swr_get_delay(stream.resampler.get(), std::int64_t(rate) * 1024)) / 1024
            : 0;
        const double captured = stream.fit.at(double(stream.fedFrames + skipped) - held)
            - stream.startOnLine.value_or(0);
        const double stamped
            = difference(stream.outStart, stream.origin) + double(stream.outFrames) * stream.period;
        return (stamped - captured) / 1e9;
    }

    static void openResampler(Stream& stream)
    {
        try {
            AVChannelLayout layout {};
            av_channel_layout_default(&layout, stream.format.channelCount);
            const AVSampleFormat type = sampleFormat(stream.format);
            const int rate = stream.format.sampleRate;
            SwrContext* context = nullptr;
            check(swr_alloc_set_opts2(
                &context, &layout, type, rate, &layout, type, rate, 0, nullptr));
            Resampler owned(context);
            // Resampling even at one to one, so that a change of rate does not restart it.
            check(av_opt_set_int(context, "flags", SWR_FLAG_RESAMPLE, 0));
            check(swr_init(context));
            stream.resampler = std::move(owned);
        } catch (...) {
            stream.unresampled = true;
        }
    }

    void resample(Stream& stream, const PcmBuffer& buffer, std::int64_t skipped, double ratio)
    {
        SwrContext* context = stream.resampler.get();
        const int distance = int(
            std::min<std::int64_t>(std::int64_t(stream.format.sampleRate) * 100, INT_MAX / 2));
        const int frames = int(buffer.frameLength - skipped);
        try {
            check(
                swr_set_compensation(context, int(std::llround((ratio - 1) * distance)), distance));
            std::array<const std::uint8_t*, 64> input {};
            const int planes = stream.format.interleaved ? 1 : stream.format.channelCount;
            if (planes > int(input.size())) {
                throw PlatformError(text(AVERROR(EINVAL)));
            }
            const std::size_t sampleBytes = std::size_t(bytesPerSample(stream.format.sampleType));
            const std::size_t frameBytes = stream.format.interleaved
                ? sampleBytes * std::size_t(stream.format.channelCount)
                : sampleBytes;
            for (int plane = 0; plane < planes; ++plane) {
                input[std::size_t(plane)]
                    = reinterpret_cast<const std::uint8_t*>(buffer.data.data())
                    + std::size_t(plane) * std::size_t(buffer.frameLength) * sampleBytes
                    + std::size_t(skipped) * frameBytes;
            }
            convert(stream, input.data(), frames);
        } catch (...) {
            // Passed on as it came rather than lost; it stays off the clock from here.
            stream.resampler.reset();
            stream.unresampled = true;
            if (skipped == 0) {
                emit(stream, buffer);
            }
        }
    }

    // Runs the resampler over `frames` frames (none: what it still holds) and hands the result on.
    void convert(Stream& stream, const std::uint8_t* const* input, int frames)
    {
        const PcmFormat& format = stream.format;
        const int capacity = swr_get_out_samples(stream.resampler.get(), frames) + 16;
        const std::size_t sampleBytes = std::size_t(bytesPerSample(format.sampleType));
        const std::size_t frameBytes = sampleBytes * std::size_t(format.channelCount);
        m_converted.resize(std::size_t(capacity) * frameBytes);
        std::array<std::uint8_t*, 64> output {};
        const int planes = format.interleaved ? 1 : format.channelCount;
        for (int plane = 0; plane < planes; ++plane) {
            output[std::size_t(plane)] = reinterpret_cast<std::uint8_t*>(m_converted.data())
                + std::size_t(plane) * std::size_t(capacity) * sampleBytes;
        }
        const int produced = check(swr_convert(stream.resampler.get(), output.data(), capacity,
            const_cast<const std::uint8_t**>(input), frames));
        if (produced <= 0) {
            return;
        }
        // One plane after the other, each as long as the buffer.
        for (int plane = 1; plane < planes; ++plane) {
            std::memmove(
                m_converted.data() + std::size_t(plane) * std::size_t(produced) * sampleBytes,
                output[std::size_t(plane)], std::size_t(produced) * sampleBytes);
        }
        emit(stream,
            PcmBuffer { format, produced,
                std::span<const std::byte>(m_converted)
                    .first(std::size_t(produced) * frameBytes) });
    }

    void flush(Stream& stream)
    {
        if (!stream.resampler) {
            return;
        }
        try {
            convert(stream, nullptr, 0);
        } catch (...) {
            // The resampler's last few frames, under a millisecond.
        }
        stream.resampler.reset();
    }

    void emit(Stream& stream, const PcmBuffer& buffer)
    {
        if (m_output) {
            m_output(buffer,
                stream.outStart + framesToNanoseconds(stream.outFrames, stream.format.sampleRate));
        }
        stream.outFrames += buffer.frameLength;
    }

    AudioSource& m_source;
    AudioLoss::Input m_input;
    Handler m_output;
    std::unique_ptr<Stream> m_stream;
    std::vector<std::byte> m_converted; // reused, so steady resampling does not allocate

    mutable std::mutex m_mutex;
    std::vector<AudioLoss> m_losses;
};

ClockFollower::ClockFollower(std::unique_ptr<AudioSource> source, AudioLoss::Input input)
    : m_source(std::move(source))
    , m_input(input)
{ }

ClockFollower::~ClockFollower()
{
    stop();
}

void ClockFollower::start(Handler handler)
{
    start(std::move(handler), nullptr);
}

void ClockFollower::start(Handler handler, Handler unfollowed)
{
    m_follower = std::make_unique<Follower>(*m_source, m_input, std::move(handler));
    m_source->start([follower = m_follower.get(), unfollowed = std::move(unfollowed)](
                        const PcmBuffer& buffer, std::uint64_t hostTime) {
        if (unfollowed) {
            unfollowed(buffer, hostTime);
        }
        follower->handle(buffer, hostTime);
    });
}

void ClockFollower::stop() noexcept
{
    m_source->stop();
    if (m_follower) {
        m_follower->finish();
    }
}

std::vector<AudioLoss> ClockFollower::losses() const
{
    std::vector<AudioLoss> all = m_source->losses();
    if (m_follower) {
        const std::vector<AudioLoss> dropped = m_follower->losses();
        all.insert(all.end(), dropped.begin(), dropped.end());
    }
    return all;
}
