#include "mix/liveencoding.h"

#include "hostclock.h"
#include "track/trackwriter.h"

#include <algorithm>
#include <cmath>
#include <limits>

extern "C" {
#include <libavutil/channel_layout.h>
}

using namespace ffmpeg;

namespace {

constexpr int mixRate = 48000;
// The copies for the transcription: what speech recognition listens at, a quarter of the mix's
// size, and a fifth of the work of encoding the mix.
constexpr int uploadRate = 16000;
constexpr std::int64_t uploadBitRate = 32000;
// How far an input may lag behind the other before the mix is encoded without waiting for it:
// more than the echo canceller may hold the microphone back (2 s of backlog, then up to 1 s
// waiting for late call audio), with room for the inputs' own jitter.
constexpr std::int64_t lagLimit = 6 * mixRate;

Resampler resampler(const PcmFormat& from, int rate, int channels, AVSampleFormat to)
{
    AVChannelLayout input {};
    av_channel_layout_default(&input, from.channelCount);
    AVChannelLayout output {};
    av_channel_layout_default(&output, channels);
    SwrContext* context = nullptr;
    check(swr_alloc_set_opts2(
        &context, &output, to, rate, &input, sampleFormat(from), from.sampleRate, 0, nullptr));
    Resampler owned(context);
    check(swr_init(context));
    return owned;
}

// Mix samples from the first host time seen, rounded as the mixdown rounds an offset.
std::int64_t mixIndex(double seconds, double reference)
{
    return std::llround((seconds - reference) * mixRate);
}

} // namespace

LiveMix::Encoding::Encoding(const Files& files, double gapTolerance, LiveFeed* feed)
    : m_files(files)
    , m_gapTolerance(gapTolerance)
    , m_feed(feed)
    , m_mixPart(files.mix)
    , m_mix(m_mixPart.path())
{
    m_inputs[0].upload.emplace(files.microphoneUpload);
    m_inputs[1].upload.emplace(files.systemUpload);
    for (Track& track : m_inputs) {
        track.writer = std::make_unique<M4aWriter>(
            track.upload->path(), M4aWriter::Format { uploadRate, 1, uploadBitRate });
    }
    m_inputs[0].contributing = true; // the microphone always counts
}

void LiveMix::Encoding::add(const Chunk& chunk)
{
    Track& track = m_inputs[chunk.input == Input::microphone ? 0 : 1];
    const PcmBuffer buffer = chunk.buffer();
    const double seconds = hostTimeToSeconds(chunk.hostTime);
    if (!track.start) {
        begin(track, buffer.format, seconds);
    } else {
        fillGap(track, seconds);
        if (buffer.format != track.format) {
            restart(track, buffer.format); // a new device, at its own rate
        }
    }
    // A call buffer joins the mix from the first one holding signal: until then there is
    // nothing of the call to add.
    if (!track.contributing && TrackWriter::containsSignal(buffer)) {
        track.contributing = true;
    }
    convert(track, buffer);
}

void LiveMix::Encoding::encodeReady()
{
    if (!m_origin) {
        return;
    }
    std::int64_t ahead = *m_origin;
    std::int64_t behind = std::numeric_limits<std::int64_t>::max();
    for (const Track& track : m_inputs) {
        // An input yet to start may still start a little earlier than the other's position.
        const std::int64_t position = track.start ? track.position : *m_origin;
        ahead = std::max(ahead, position);
        behind = std::min(behind, position);
    }
    const std::int64_t until = std::max(behind, ahead - lagLimit);
    for (Track& track : m_inputs) {
        // An input that stalls is left behind: what its resamplers hold is placed while it
        // still can be, and the gap it comes back after is silence already encoded.
        if (track.start && track.position < until && track.anchorFrames > 0) {
            restart(track, track.format);
        }
    }
    encodeUntil(until);
}

bool LiveMix::Encoding::finish(const Layout& layout)
{
    const std::array<std::optional<double>, 2> kept { layout.microphoneStart, layout.systemStart };
    std::int64_t origin = std::numeric_limits<std::int64_t>::max();
    std::int64_t end = std::numeric_limits<std::int64_t>::min();
    for (std::size_t index = 0; index < m_inputs.size(); ++index) {
        Track& track = m_inputs[index];
        if (track.start) {
            drain(track);
        }
        // A kept track must be the one seen here; a left-out one must have added nothing.
        if (kept[index] ? track.start != kept[index] : track.start && track.contributing) {
            return false;
        }
        if (kept[index]) {
            origin = std::min(origin, mixIndex(*track.start, *m_reference));
            end = std::max(end, track.position);
        }
    }
    if (m_mismatch || !m_origin || (!kept[0] && !kept[1]) || origin < *m_origin
        || m_encoded > end) {
        return false;
    }
    encodeUntil(end);
    m_mix.finish();
    if (origin == *m_origin) {
        m_mixPart.keepAs(m_files.mix);
    } else {
        // Only a call that never carried signal started earlier: its silence is cut away.
        PartFile trimmed(m_files.mix);
        copyWithoutLeadingSilence(m_mixPart.path(), trimmed.path(), origin - *m_origin);
        trimmed.keepAs(m_files.mix);
    }
    if (kept[0] && kept[1]) {
        keepUploads();
    }
    return true;
}

void LiveMix::Encoding::begin(Track& track, const PcmFormat& format, double seconds)
{
    if (!m_reference) {
        m_reference = seconds;
    }
    const std::int64_t index = mixIndex(seconds, *m_reference);
    if (!m_origin || index < *m_origin) {
        // An input that starts earlier moves the origin, as long as nothing is encoded yet.
        if (m_origin && m_mix.length() > 0) {
            m_mismatch = true;
        } else {
            const std::int64_t lead = m_origin ? *m_origin - index : 0;
            for (auto* pending : { &m_pending, &m_inputsPending }) {
                for (std::vector<float>& channel : *pending) {
                    channel.insert(channel.begin(), std::size_t(lead), 0.0f);
                }
            }
            m_origin = index;
            m_encoded = index;
        }
    }
    track.start = seconds;
    track.anchor = seconds;
    track.position = index;
    open(track, format);
}

void LiveMix::Encoding::restart(Track& track, const PcmFormat& format)
{
    drain(track);
    track.anchor += double(track.anchorFrames) / track.format.sampleRate;
    track.anchorFrames = 0;
    open(track, format);
}

void LiveMix::Encoding::open(Track& track, const PcmFormat& format)
{
    track.format = format;
    track.toMix = resampler(format, mixRate, 2, AV_SAMPLE_FMT_FLTP);
    track.toUpload = resampler(format, uploadRate, 1, AV_SAMPLE_FMT_FLT);
}

void LiveMix::Encoding::fillGap(Track& track, double seconds)
{
    const double expected = track.anchor + double(track.anchorFrames) / track.format.sampleRate;
    if (!(seconds - expected > m_gapTolerance)) {
        return;
    }
    std::int64_t missing = std::llround((seconds - expected) * track.format.sampleRate);
    std::vector<std::byte> silence(std::size_t(std::min<std::int64_t>(missing, 4096))
        * std::size_t(track.format.channelCount * bytesPerSample(track.format.sampleType)));
    while (missing > 0) {
        const std::int64_t frames = std::min<std::int64_t>(missing, 4096);
        convert(track, PcmBuffer { track.format, frames, silence });
        missing -= frames;
    }
}

void LiveMix::Encoding::convert(Track& track, const PcmBuffer& buffer)
{
    const int bytes = bytesPerSample(buffer.format.sampleType);
    std::array<const std::uint8_t*, 64> planes {};
    const int planeCount = buffer.format.interleaved ? 1 : buffer.format.channelCount;
    if (planeCount > int(planes.size())) {
        throw PlatformError(text(AVERROR(EINVAL)));
    }
    for (int plane = 0; plane < planeCount; ++plane) {
        planes[std::size_t(plane)] = reinterpret_cast<const std::uint8_t*>(buffer.data.data())
            + std::size_t(plane) * std::size_t(buffer.frameLength) * std::size_t(bytes);
    }
    resample(track, planes.data(), int(buffer.frameLength));
    track.anchorFrames += buffer.frameLength;
}

void LiveMix::Encoding::drain(Track& track)
{
    resample(track, nullptr, 0);
}

void LiveMix::Encoding::resample(Track& track, const std::uint8_t* const* input, int frames)
{
    const int mixCapacity = swr_get_out_samples(track.toMix.get(), frames);
    for (std::vector<float>& channel : track.mixed) {
        channel.resize(std::size_t(std::max(mixCapacity, 1)));
    }
    std::uint8_t* mixOut[] = { reinterpret_cast<std::uint8_t*>(track.mixed[0].data()),
        reinterpret_cast<std::uint8_t*>(track.mixed[1].data()) };
    const int mixed = check(swr_convert(
        track.toMix.get(), mixOut, mixCapacity, const_cast<const std::uint8_t**>(input), frames));
    if (track.contributing) {
        place(std::size_t(&track - m_inputs.data()), track.position, track.mixed, mixed);
    }
    track.position += mixed;

    const int speechCapacity = swr_get_out_samples(track.toUpload.get(), frames);
    track.speech.resize(std::size_t(std::max(speechCapacity, 1)));
    std::uint8_t* speechOut[] = { reinterpret_cast<std::uint8_t*>(track.speech.data()) };
    const int spoken = check(swr_convert(track.toUpload.get(), speechOut, speechCapacity,
        const_cast<const std::uint8_t**>(input), frames));
    const float* mono[] = { track.speech.data() };
    track.writer->write(mono, spoken);
}

void LiveMix::Encoding::place(std::size_t input, std::int64_t position,
    const std::array<std::vector<float>, 2>& samples, int count)
{
    // Silence that comes too late changes nothing in the mix; sound would be missing from it.
    const auto late = std::size_t(std::clamp<std::int64_t>(m_encoded - position, 0, count));
    for (const std::vector<float>& channel : samples) {
        if (std::any_of(channel.begin(), channel.begin() + std::ptrdiff_t(late),
                [](float sample) { return sample != 0; })) {
            m_mismatch = true;
            return;
        }
    }
    if (late == std::size_t(count)) {
        return;
    }
    const auto at = std::size_t(position + std::int64_t(late) - m_encoded);
    const std::size_t needed = at + std::size_t(count) - late;
    for (std::size_t channel = 0; channel < 2; ++channel) {
        std::vector<float>& pending = m_pending[channel];
        if (pending.size() < needed) {
            pending.resize(needed, 0.0f);
        }
        const float* from = samples[channel].data() + late;
        float* to = pending.data() + at;
        for (std::size_t index = 0; index < std::size_t(count) - late; ++index) {
            to[index] += from[index];
        }
    }
    if (m_feed) {
        // The feed keeps the inputs apart, each brought down to one channel.
        std::vector<float>& alone = m_inputsPending[input];
        if (alone.size() < needed) {
            alone.resize(needed, 0.0f);
        }
        for (std::size_t index = 0; index < std::size_t(count) - late; ++index) {
            alone[at + index] += 0.5f * (samples[0][late + index] + samples[1][late + index]);
        }
    }
}

void LiveMix::Encoding::encodeUntil(std::int64_t until)
{
    if (!m_origin || until <= m_encoded) {
        return;
    }
    const auto count = std::size_t(until - m_encoded);
    for (std::vector<float>& channel : m_pending) {
        if (channel.size() < count) {
            channel.resize(count, 0.0f);
        }
    }
    if (m_feed) {
        feed(count);
    }
    const float* planes[] = { m_pending[0].data(), m_pending[1].data() };
    m_mix.write(planes, std::int64_t(count));
    for (std::vector<float>& channel : m_pending) {
        channel.erase(channel.begin(), channel.begin() + std::ptrdiff_t(count));
    }
    m_encoded = until;
}

void LiveMix::Encoding::feed(std::size_t count) noexcept
{
    try {
        for (std::vector<float>& alone : m_inputsPending) {
            if (alone.size() < count) {
                alone.resize(count, 0.0f);
            }
        }
        m_feed->push(m_inputsPending[0].data(), m_inputsPending[1].data(), std::int64_t(count));
        for (std::vector<float>& alone : m_inputsPending) {
            alone.erase(alone.begin(), alone.begin() + std::ptrdiff_t(count));
        }
    } catch (...) {
        m_feed->lost();
        m_feed = nullptr;
    }
}

void LiveMix::Encoding::keepUploads() noexcept
{
    for (std::size_t index = 0; index < m_inputs.size(); ++index) {
        try {
            m_inputs[index].writer->finish();
            m_inputs[index].upload->keepAs(
                index == 0 ? m_files.microphoneUpload : m_files.systemUpload);
        } catch (...) { }
    }
}
