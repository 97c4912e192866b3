#include "track/formatconverter.h"

#include "ffmpegsupport.h"

#include <QString>
#include <algorithm>

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/error.h>
#include <libswresample/swresample.h>
}

using namespace ffmpeg;

void FormatConverter::Free::operator()(SwrContext* context) const
{
    swr_free(&context);
}

FormatConverter::FormatConverter(const PcmFormat& target)
    : m_target(target)
{
    m_target.interleaved = true;
}

FormatConverter::~FormatConverter() = default;

bool FormatConverter::needed(const PcmFormat& format) const
{
    return format.sampleRate != m_target.sampleRate || format.channelCount != m_target.channelCount
        || format.sampleType != m_target.sampleType;
}

PcmBuffer FormatConverter::convert(const PcmBuffer& buffer, std::uint64_t& delay)
{
    if (!m_resampler || buffer.format != m_source) {
        // A new input format starts afresh; the few frames the old resampler held are let go.
        m_resampler.reset();
        AVChannelLayout input {};
        AVChannelLayout output {};
        av_channel_layout_default(&input, buffer.format.channelCount);
        av_channel_layout_default(&output, m_target.channelCount);
        SwrContext* resampler = nullptr;
        const int status
            = swr_alloc_set_opts2(&resampler, &output, sampleFormat(m_target), m_target.sampleRate,
                &input, sampleFormat(buffer.format), buffer.format.sampleRate, 0, nullptr);
        av_channel_layout_uninit(&input);
        av_channel_layout_uninit(&output);
        check(status);
        m_resampler.reset(resampler);
        check(swr_init(resampler));
        m_source = buffer.format;
    }
    delay
        = std::uint64_t(std::max<std::int64_t>(0, swr_get_delay(m_resampler.get(), 1'000'000'000)));

    const int frames = int(buffer.frameLength);
    const int capacity = check(swr_get_out_samples(m_resampler.get(), frames));
    const std::size_t frameBytes
        = std::size_t(m_target.channelCount * bytesPerSample(m_target.sampleType));
    m_output.resize(std::size_t(capacity) * frameBytes);

    const int planes = buffer.format.interleaved ? 1 : buffer.format.channelCount;
    const std::size_t planeBytes = buffer.data.size() / std::size_t(planes);
    std::vector<const std::uint8_t*> input(static_cast<std::size_t>(planes));
    for (int plane = 0; plane < planes; ++plane) {
        input[std::size_t(plane)]
            = reinterpret_cast<const std::uint8_t*>(buffer.data.data()) + plane * planeBytes;
    }
    std::uint8_t* output = reinterpret_cast<std::uint8_t*>(m_output.data());
    const int converted
        = check(swr_convert(m_resampler.get(), &output, capacity, input.data(), frames));
    return { m_target, converted,
        std::span<const std::byte>(m_output).first(std::size_t(converted) * frameBytes) };
}
