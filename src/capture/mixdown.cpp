#include "audiocapture.h"
#include "captureerror.h"
#include "platformtext.h"

#include <QByteArray>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio> // renameat2
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <span>
#include <unistd.h>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libswresample/swresample.h>
}

namespace {

constexpr int mixRate = 48000;
constexpr int mixChannels = 2;

QString ffmpegText(int status)
{
    return ffmpegErrorText(status);
}

// Throws the library's own text for a failed FFmpeg call.
int check(int status)
{
    if (status < 0 && status > -4096) {
        throw StorageError(-status); // a system error, such as a full disk
    }
    if (status < 0) {
        throw PlatformError(ffmpegText(status));
    }
    return status;
}

CaptureError unreadableTrack()
{
    return CaptureError(QStringLiteral("Impossible de lire une piste audio."));
}

CaptureError exportUnavailable()
{
    return CaptureError(QStringLiteral("Impossible de préparer l’export audio."));
}

// An explicit protocol, so that a file name holding a colon is never taken for an address.
QByteArray fileUrl(const QString& path)
{
    return "file:" + QFile::encodeName(QFileInfo(path).absoluteFilePath());
}

struct FormatInputDeleter
{
    void operator()(AVFormatContext* context) const { avformat_close_input(&context); }
};
struct CodecDeleter
{
    void operator()(AVCodecContext* context) const { avcodec_free_context(&context); }
};
struct ResamplerDeleter
{
    void operator()(SwrContext* context) const { swr_free(&context); }
};
struct PacketDeleter
{
    void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};
struct FrameDeleter
{
    void operator()(AVFrame* frame) const { av_frame_free(&frame); }
};

using FormatInput = std::unique_ptr<AVFormatContext, FormatInputDeleter>;
using Codec = std::unique_ptr<AVCodecContext, CodecDeleter>;
using Resampler = std::unique_ptr<SwrContext, ResamplerDeleter>;
using Packet = std::unique_ptr<AVPacket, PacketDeleter>;
using Frame = std::unique_ptr<AVFrame, FrameDeleter>;

template<typename T> T* allocated(T* pointer)
{
    if (!pointer) {
        throw PlatformError(ffmpegText(AVERROR(ENOMEM)));
    }
    return pointer;
}

// One input of the mix: the first audio stream of a file, decoded and resampled on demand to
// planar stereo float at the mix rate, starting `start` frames into the mix.
class Source
{
public:
    Source(const QString& path, double offset)
    {
        if (!std::isfinite(offset) || offset > 1e9) {
            throw PlatformError(ffmpegText(AVERROR(EINVAL)));
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
            throw PlatformError(ffmpegText(AVERROR_DECODER_NOT_FOUND));
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

// A fresh file beside the destination that only this export writes; removed unless kept.
class PartFile
{
public:
    explicit PartFile(const QString& destination)
    {
        const QFileInfo target(destination);
        for (int attempt = 0;; ++attempt) {
            m_path = target.absolutePath() + QStringLiteral("/.") + target.fileName() + u'.'
                + QString::number(QRandomGenerator::global()->generate(), 36)
                + QStringLiteral(".part");
            const int descriptor
                = ::open(QFile::encodeName(m_path).constData(), O_WRONLY | O_CREAT | O_EXCL, 0600);
            if (descriptor >= 0) {
                ::close(descriptor);
                return;
            }
            if (errno != EEXIST || attempt == 100) {
                const int error = errno;
                m_path.clear();
                throw PlatformError(ffmpegText(AVERROR(error)));
            }
        }
    }

    ~PartFile()
    {
        if (!m_path.isEmpty()) {
            ::unlink(QFile::encodeName(m_path).constData());
        }
    }

    PartFile(const PartFile&) = delete;
    PartFile& operator=(const PartFile&) = delete;

    [[nodiscard]] const QString& path() const { return m_path; }

    // Gives the finished file its name, refusing to replace a file that appeared there meanwhile.
    void keepAs(const QString& destination)
    {
        const QByteArray from = QFile::encodeName(m_path);
        const QByteArray to = QFile::encodeName(destination);
        if (::renameat2(AT_FDCWD, from.constData(), AT_FDCWD, to.constData(), RENAME_NOREPLACE)
            != 0) {
            if (errno != EINVAL && errno != ENOSYS) {
                throw PlatformError(ffmpegText(AVERROR(errno)));
            }
            // File systems without an exclusive rename: a hard link fails when the name is taken.
            if (::link(from.constData(), to.constData()) != 0) {
                throw PlatformError(ffmpegText(AVERROR(errno)));
            }
            ::unlink(from.constData());
        }
        m_path.clear();
    }

private:
    QString m_path;
};

struct FormatOutputDeleter
{
    void operator()(AVFormatContext* context) const
    {
        if (context->pb) {
            avio_closep(&context->pb);
        }
        avformat_free_context(context);
    }
};
using FormatOutput = std::unique_ptr<AVFormatContext, FormatOutputDeleter>;

// The AAC-LC encoder and the MPEG-4 audio muxer writing one .m4a file.
class Encoder
{
public:
    explicit Encoder(const QString& path)
    {
        const AVCodec* codec = avcodec_find_encoder_by_name("aac");
        if (!codec) {
            throw exportUnavailable();
        }
        m_codec.reset(avcodec_alloc_context3(codec));
        AVFormatContext* muxer = nullptr;
        if (!m_codec || avformat_alloc_output_context2(&muxer, nullptr, "ipod", nullptr) < 0) {
            throw exportUnavailable();
        }
        m_muxer.reset(muxer);

        AVCodecContext* context = m_codec.get();
        context->sample_fmt = AV_SAMPLE_FMT_FLTP;
        context->sample_rate = mixRate;
        context->time_base = { 1, mixRate };
        context->profile = FF_PROFILE_AAC_LOW;
        const AVChannelLayout stereo = AV_CHANNEL_LAYOUT_STEREO;
        if (av_channel_layout_copy(&context->ch_layout, &stereo) < 0) {
            throw exportUnavailable();
        }
        if (muxer->oformat->flags & AVFMT_GLOBALHEADER) {
            context->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
        }
        if (avcodec_open2(context, codec, nullptr) < 0) {
            throw exportUnavailable();
        }
        m_stream = avformat_new_stream(muxer, nullptr);
        if (!m_stream || avcodec_parameters_from_context(m_stream->codecpar, context) < 0) {
            throw exportUnavailable();
        }
        m_stream->time_base = context->time_base;

        check(avio_open(&muxer->pb, fileUrl(path).constData(), AVIO_FLAG_WRITE));
        if (avformat_write_header(muxer, nullptr) < 0) {
            throw exportUnavailable();
        }
        m_frame.reset(allocated(av_frame_alloc()));
        m_packet.reset(allocated(av_packet_alloc()));
    }

    [[nodiscard]] int frameSize() const
    {
        return m_codec->frame_size > 0 ? m_codec->frame_size : 1024;
    }

    // A silent frame of `frames` stereo frames for the mix to add into.
    AVFrame* nextFrame(int frames)
    {
        AVFrame* frame = m_frame.get();
        av_frame_unref(frame);
        frame->format = AV_SAMPLE_FMT_FLTP;
        frame->sample_rate = mixRate;
        check(av_channel_layout_copy(&frame->ch_layout, &m_codec->ch_layout));
        frame->nb_samples = frames;
        check(av_frame_get_buffer(frame, 0));
        for (int channel = 0; channel < mixChannels; ++channel) {
            std::fill_n(reinterpret_cast<float*>(frame->data[channel]), frames, 0.0f);
        }
        return frame;
    }

    void encode(AVFrame* frame)
    {
        check(avcodec_send_frame(m_codec.get(), frame));
        while (true) {
            const int received = avcodec_receive_packet(m_codec.get(), m_packet.get());
            if (received == AVERROR(EAGAIN) || received == AVERROR_EOF) {
                return;
            }
            check(received);
            av_packet_rescale_ts(m_packet.get(), m_codec->time_base, m_stream->time_base);
            m_packet->stream_index = m_stream->index;
            check(av_write_frame(m_muxer.get(), m_packet.get()));
        }
    }

    void finish()
    {
        encode(nullptr);
        check(av_write_trailer(m_muxer.get()));
        check(avio_closep(&m_muxer->pb));
    }

private:
    Codec m_codec;
    FormatOutput m_muxer;
    AVStream* m_stream = nullptr;
    Frame m_frame;
    Packet m_packet;
};

void throwIfStopped(const std::stop_token& stop)
{
    if (stop.stop_requested()) {
        throw PlatformError(ffmpegText(AVERROR_EXIT));
    }
}

} // namespace

void AudioCapture::exportAudio(
    const QList<Input>& inputs, const QString& destination, std::stop_token stop)
{
    static std::once_flag quiet;
    std::call_once(quiet, [] { av_log_set_level(AV_LOG_QUIET); });

    std::vector<Source> sources;
    sources.reserve(std::size_t(inputs.size()));
    for (const Input& input : inputs) {
        throwIfStopped(stop);
        sources.emplace_back(input.file, input.offset);
    }
    if (QFileInfo::exists(destination)) {
        throw PlatformError(ffmpegText(AVERROR(EEXIST)));
    }

    PartFile part(destination);
    Encoder encoder(part.path());
    const int chunk = encoder.frameSize();
    for (std::int64_t position = 0;; position += chunk) {
        throwIfStopped(stop);
        AVFrame* frame = encoder.nextFrame(chunk);
        auto* left = reinterpret_cast<float*>(frame->data[0]);
        auto* right = reinterpret_cast<float*>(frame->data[1]);
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
            const int got = source.mixInto(left + lead, right + lead, chunk - lead);
            length = std::max(length, lead + got);
        }
        if (length == 0) {
            break;
        }
        frame->nb_samples = length;
        frame->pts = position;
        encoder.encode(frame);
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
