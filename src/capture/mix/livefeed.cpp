#include "mix/livefeed.h"

#include "ffmpegsupport.h"

#include <QtEndian>

extern "C" {
#include <libavutil/channel_layout.h>
}

using namespace ffmpeg;

void LiveFeed::Free::operator()(SwrContext* context) const
{
    swr_free(&context);
}

LiveFeed::LiveFeed(LiveAudioConsumer& consumer)
    : m_consumer(consumer)
{
    // Two planes in, one per input, interleaved out: the same two channels, so only the rate and
    // the sample format change, with swresample's own low-pass before the decimation.
    AVChannelLayout stereo {};
    av_channel_layout_default(&stereo, 2);
    SwrContext* context = nullptr;
    check(swr_alloc_set_opts2(&context, &stereo, AV_SAMPLE_FMT_S16, outputRate, &stereo,
        AV_SAMPLE_FMT_FLTP, inputRate, 0, nullptr));
    m_resampler.reset(context);
    check(swr_init(context));
}

LiveFeed::~LiveFeed() = default;

void LiveFeed::push(const float* microphone, const float* call, std::int64_t frames)
{
    if (m_lost || frames <= 0) {
        return;
    }
    const int capacity = swr_get_out_samples(m_resampler.get(), int(frames));
    m_out.resize(std::size_t(std::max(capacity, 1)) * 2);
    const std::uint8_t* in[] = { reinterpret_cast<const std::uint8_t*>(microphone),
        reinterpret_cast<const std::uint8_t*>(call) };
    std::uint8_t* out[] = { reinterpret_cast<std::uint8_t*>(m_out.data()) };
    const int made = check(swr_convert(m_resampler.get(), out, capacity, in, int(frames)));
    if (made <= 0) {
        return;
    }
    if constexpr (Q_BYTE_ORDER == Q_BIG_ENDIAN) {
        qToLittleEndian<std::int16_t>(m_out.data(), qsizetype(made) * 2, m_out.data());
    }
    m_consumer.pushAudio(QByteArrayView(reinterpret_cast<const char*>(m_out.data()),
        qsizetype(made) * 2 * qsizetype(sizeof(std::int16_t))));
}

void LiveFeed::lost() noexcept
{
    if (!std::exchange(m_lost, true)) {
        m_consumer.audioLost();
    }
}
