#include "audiocapture.h"
#include "captureerror.h"
#include "ffmpegsupport.h"
#include "mix/m4awriter.h"

#include <QFileInfo>
#include <algorithm>
#include <cmath>
#include <span>
#include <vector>

extern "C" {
#include <libavutil/channel_layout.h>
}

using namespace ffmpeg;

namespace {

constexpr int mixRate = 48000;

CaptureError unreadableTrack()
{
    return CaptureError(QStringLiteral("Impossible de lire une piste audio."));
}

// One input of the mix: the first audio stream of a file, decoded and resampled on demand to
// planar stereo float at the mix rate, starting `start` frames into the mix.
class Source
{
public:
    Source(const QString& path, double offset)
    {
        if (!std::isfinite(offset) || offset > 1e9) {
            throw PlatformError(text(AVERROR(EINVAL)));
        }
        m_start = std::llround(std::max(0.0, offset) * mixRate);

        AVFormatContext* format = nullptr;
        check(avformat_open_input(&format, fileUrl(path).constData(), nullptr, nullptr));
        m_format.reset(format);
        check(avformat_find_stream_info(format, nullptr));

        const auto streams = std::span(format->streams, format->nb_streams);
        const auto audio = std::find_if(streams.begin(), streams.end(), [](const AVStream* stream) {
            return stream->codecpar->codec_type == AVMEDIA_TYPE_AUDIO;
        });
        if (audio == streams.end()) {
            throw unreadableTrack();
        }
        m_stream = (*audio)->index;
        for (AVStream* stream : streams) {
            if (stream->index != m_stream) {
                stream->discard = AVDISCARD_ALL;
            }
        }

        const AVCodecParameters* parameters = (*audio)->codecpar;
        const AVCodec* decoder = avcodec_find_decoder(parameters->codec_id);
        if (!decoder) {
            throw PlatformError(text(AVERROR_DECODER_NOT_FOUND));
        }
        m_decoder.reset(allocated(avcodec_alloc_context3(decoder)));
        check(avcodec_parameters_to_context(m_decoder.get(), parameters));
        check(avcodec_open2(m_decoder.get(), decoder, nullptr));
        m_packet.reset(allocated(av_packet_alloc()));
        m_frame.reset(allocated(av_frame_alloc()));
    }

    [[nodiscard]] std::int64_t start() const { return m_start; }
    [[nodiscard]] bool exhausted() const { return m_exhausted; }

    // Adds up to `frames` frames of this input into `left` and `right`; fewer only at its end.
    int mixInto(float* left, float* right, int frames)
    {
        int done = 0;
        while (done < frames) {
            if (m_pendingRead == m_pendingFrames && !refill()) {
                m_exhausted = true;
                break;
            }
            const int count = std::min(frames - done, m_pendingFrames - m_pendingRead);
            const float* fromLeft = m_pendingLeft.data() + m_pendingRead;
            const float* fromRight = m_pendingRight.data() + m_pendingRead;
            for (int index = 0; index < count; ++index) {
                left[done + index] += fromLeft[index];
                right[done + index] += fromRight[index];
            }
            m_pendingRead += count;
            done += count;
        }
        return done;
    }

private:
    // Converts the next decoded frame into the pending samples; false at the end of the stream.
    bool refill()
    {
        m_pendingRead = m_pendingFrames = 0;
        while (m_pendingFrames == 0) {
            if (m_flushed) {
                return false;
            }
            if (m_decoderDrained) {
                // What the resampler still holds once the input has ended.
                convert(nullptr, 0);
                m_flushed = m_pendingFrames == 0;
                continue;
            }
            const int received = avcodec_receive_frame(m_decoder.get(), m_frame.get());
            if (received == AVERROR_EOF) {
                m_decoderDrained = true;
            } else if (received == AVERROR(EAGAIN)) {
                feedDecoder();
            } else if (received == AVERROR_INVALIDDATA) {
                continue; // a damaged packet, such as the torn last one of a track cut short
            } else {
                check(received);
                convert(m_frame->extended_data, m_frame->nb_samples);
                av_frame_unref(m_frame.get());
            }
        }
        return true;
    }

    void feedDecoder()
    {
        while (true) {
            const int read = av_read_frame(m_format.get(), m_packet.get());
            if (read == AVERROR_EOF) {
                check(avcodec_send_packet(m_decoder.get(), nullptr));
                return;
            }
            check(read);
            if (m_packet->stream_index != m_stream) {
                av_packet_unref(m_packet.get());
                continue;
            }
            const int sent = avcodec_send_packet(m_decoder.get(), m_packet.get());
            av_packet_unref(m_packet.get());
            if (sent != AVERROR_INVALIDDATA) {
                check(sent);
            }
            return;
        }
    }

    void convert(const std::uint8_t* const* input, int frames)
    {
        if (!m_resampler) {
            openResampler();
        }
        const int capacity = swr_get_out_samples(m_resampler.get(), frames);
        if (capacity <= 0) {
            return;
        }
        if (std::size_t(capacity) > m_pendingLeft.size()) {
            m_pendingLeft.resize(std::size_t(capacity));
            m_pendingRight.resize(std::size_t(capacity));
        }
        std::uint8_t* output[] = { reinterpret_cast<std::uint8_t*>(m_pendingLeft.data()),
            reinterpret_cast<std::uint8_t*>(m_pendingRight.data()) };
        m_pendingFrames = check(swr_convert(
            m_resampler.get(), output, capacity, const_cast<const std::uint8_t**>(input), frames));
    }

    // Built from the first decoded frame, whose layout and rate are the ones that count.
    void openResampler()
    {
        AVChannelLayout inputLayout {};
        if (m_frame->ch_layout.order == AV_CHANNEL_ORDER_UNSPEC) {
            av_channel_layout_default(&inputLayout, m_frame->ch_layout.nb_channels);
        } else {
            check(av_channel_layout_copy(&inputLayout, &m_frame->ch_layout));
        }
        AVChannelLayout stereo = AV_CHANNEL_LAYOUT_STEREO;
        SwrContext* resampler = nullptr;
        const int status = swr_alloc_set_opts2(&resampler, &stereo, AV_SAMPLE_FMT_FLTP, mixRate,
            &inputLayout, AVSampleFormat(m_frame->format), m_frame->sample_rate, 0, nullptr);
        av_channel_layout_uninit(&inputLayout);
        check(status);
        m_resampler.reset(resampler);
        check(swr_init(resampler));
    }

    std::int64_t m_start = 0;
    FormatInput m_format;
    int m_stream = -1;
    Codec m_decoder;
    Resampler m_resampler;
    Packet m_packet;
    Frame m_frame;
    std::vector<float> m_pendingLeft;
    std::vector<float> m_pendingRight;
    int m_pendingFrames = 0;
    int m_pendingRead = 0;
    bool m_decoderDrained = false;
    bool m_flushed = false;
    bool m_exhausted = false;
};

void throwIfStopped(const std::stop_token& stop)
{
    if (stop.stop_requested()) {
        throw PlatformError(text(AVERROR_EXIT));
    }
}

} // namespace

void AudioCapture::exportAudio(
    const QList<Input>& inputs, const QString& destination, std::stop_token stop)
{
    silenceLogging();

    std::vector<Source> sources;
    sources.reserve(std::size_t(inputs.size()));
    for (const Input& input : inputs) {
        throwIfStopped(stop);
        sources.emplace_back(input.file, input.offset);
    }
    if (QFileInfo::exists(destination)) {
        throw PlatformError(text(AVERROR(EEXIST)));
    }

    PartFile part(destination);
    M4aWriter encoder(part.path());
    constexpr int chunk = 1024;
    std::vector<float> left(chunk);
    std::vector<float> right(chunk);
    const float* planes[] = { left.data(), right.data() };
    for (std::int64_t position = 0;; position += chunk) {
        throwIfStopped(stop);
        std::fill(left.begin(), left.end(), 0.0f);
        std::fill(right.begin(), right.end(), 0.0f);
        // The mix lasts until the input that ends last; an input yet to start keeps it going.
        int length = 0;
        for (Source& source : sources) {
            if (source.exhausted()) {
                continue;
            }
            if (source.start() >= position + chunk) {
                length = chunk;
                continue;
            }
            const int lead = int(std::max<std::int64_t>(0, source.start() - position));
            const int got = source.mixInto(left.data() + lead, right.data() + lead, chunk - lead);
            length = std::max(length, lead + got);
        }
        if (length == 0) {
            break;
        }
        encoder.write(planes, length);
    }
    encoder.finish();
    throwIfStopped(stop);
    part.keepAs(destination);
}

void AudioCapture::mix(const QString& microphone, const QString& system, const QString& destination,
    double microphoneOffset, double systemOffset)
{
    exportAudio({ { microphone, microphoneOffset }, { system, systemOffset } }, destination);
}
