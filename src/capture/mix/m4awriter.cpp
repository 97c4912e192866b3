#include "mix/m4awriter.h"

#include "captureerror.h"
#include "ffmpegsupport.h"

#include <QRandomGenerator>
#include <algorithm>
#include <cstdio> // renameat2
#include <fcntl.h>
#include <mutex>
#include <unistd.h>

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
}

using namespace ffmpeg;

namespace {

CaptureError exportUnavailable()
{
    return CaptureError(QStringLiteral("Impossible de préparer l’export audio."));
}

} // namespace

void ffmpeg::silenceLogging()
{
    static std::once_flag quiet;
    std::call_once(quiet, [] { av_log_set_level(AV_LOG_QUIET); });
}

// The AAC-LC encoder, the MPEG-4 audio muxer and the frame being filled.
struct M4aWriter::Output
{
    Codec codec;
    FormatOutput muxer;
    AVStream* stream = nullptr;
    Frame frame;
    Packet packet;
    int filled = 0; // samples of `frame` already set
    std::int64_t pts = 0;

    void encode(AVFrame* input)
    {
        check(avcodec_send_frame(codec.get(), input));
        while (true) {
            const int received = avcodec_receive_packet(codec.get(), packet.get());
            if (received == AVERROR(EAGAIN) || received == AVERROR_EOF) {
                return;
            }
            check(received);
            av_packet_rescale_ts(packet.get(), codec->time_base, stream->time_base);
            packet->stream_index = stream->index;
            check(av_write_frame(muxer.get(), packet.get()));
        }
    }
};

M4aWriter::M4aWriter(const QString& path, Format format)
    : m_output(std::make_unique<Output>())
{
    silenceLogging();
    Output& out = *m_output;
    const AVCodec* codec = avcodec_find_encoder_by_name("aac");
    if (!codec) {
        throw exportUnavailable();
    }
    out.codec.reset(avcodec_alloc_context3(codec));
    AVFormatContext* muxer = nullptr;
    if (!out.codec || avformat_alloc_output_context2(&muxer, nullptr, "ipod", nullptr) < 0) {
        throw exportUnavailable();
    }
    out.muxer.reset(muxer);

    AVCodecContext* context = out.codec.get();
    context->sample_fmt = AV_SAMPLE_FMT_FLTP;
    context->sample_rate = format.sampleRate;
    context->time_base = { 1, format.sampleRate };
    context->profile = FF_PROFILE_AAC_LOW;
    context->bit_rate = format.bitRate;
    av_channel_layout_default(&context->ch_layout, format.channels);
    if (muxer->oformat->flags & AVFMT_GLOBALHEADER) {
        context->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    }
    AVDictionary* options = nullptr;
    av_dict_set(&options, "aac_coder", "fast", 0);
    const int opened = avcodec_open2(context, codec, &options);
    av_dict_free(&options);
    if (opened < 0) {
        throw exportUnavailable();
    }
    out.stream = avformat_new_stream(muxer, nullptr);
    if (!out.stream || avcodec_parameters_from_context(out.stream->codecpar, context) < 0) {
        throw exportUnavailable();
    }
    out.stream->time_base = context->time_base;
    // The file's length is stated in the movie's time scale, milliseconds unless told: a length
    // between two would cut the audio's last samples off.
    check(av_opt_set_int(muxer->priv_data, "movie_timescale", format.sampleRate, 0));

    check(avio_open(&muxer->pb, fileUrl(path).constData(), AVIO_FLAG_WRITE));
    if (avformat_write_header(muxer, nullptr) < 0) {
        throw exportUnavailable();
    }
    out.packet.reset(allocated(av_packet_alloc()));
    out.frame.reset(allocated(av_frame_alloc()));
    AVFrame* frame = out.frame.get();
    frame->format = AV_SAMPLE_FMT_FLTP;
    frame->sample_rate = format.sampleRate;
    check(av_channel_layout_copy(&frame->ch_layout, &context->ch_layout));
    frame->nb_samples = context->frame_size > 0 ? context->frame_size : 1024;
    check(av_frame_get_buffer(frame, 0));
}

M4aWriter::M4aWriter(const QString& path)
    : M4aWriter(path, Format {})
{ }

M4aWriter::~M4aWriter() = default;

void M4aWriter::write(const float* const* planes, std::int64_t frames)
{
    Output& out = *m_output;
    AVFrame* frame = out.frame.get();
    std::int64_t done = 0;
    while (done < frames) {
        if (out.filled == 0) {
            // The encoder may still hold the previous frame's buffer.
            check(av_frame_make_writable(frame));
        }
        const auto count
            = int(std::min<std::int64_t>(frames - done, frame->nb_samples - out.filled));
        for (int channel = 0; channel < frame->ch_layout.nb_channels; ++channel) {
            std::copy_n(planes[channel] + done, count,
                reinterpret_cast<float*>(frame->extended_data[channel]) + out.filled);
        }
        out.filled += count;
        done += count;
        if (out.filled == frame->nb_samples) {
            encodePending();
        }
    }
    m_length += frames;
}

void M4aWriter::encodePending()
{
    Output& out = *m_output;
    AVFrame* frame = out.frame.get();
    const int full = frame->nb_samples;
    frame->nb_samples = out.filled;
    frame->pts = out.pts;
    out.pts += out.filled;
    out.filled = 0;
    try {
        out.encode(frame);
    } catch (...) {
        frame->nb_samples = full;
        throw;
    }
    frame->nb_samples = full;
}

void M4aWriter::finish()
{
    Output& out = *m_output;
    if (out.filled > 0) {
        // A shorter last frame: the encoder accepts one, and the file states the exact length.
        encodePending();
    }
    out.encode(nullptr);
    check(av_write_trailer(out.muxer.get()));
    check(avio_closep(&out.muxer->pb));
}

PartFile::PartFile(const QString& destination)
{
    const QFileInfo target(destination);
    for (int attempt = 0;; ++attempt) {
        m_path = target.absolutePath() + QStringLiteral("/.") + target.fileName() + u'.'
            + QString::number(QRandomGenerator::global()->generate(), 36) + QStringLiteral(".part");
        const int descriptor
            = ::open(QFile::encodeName(m_path).constData(), O_WRONLY | O_CREAT | O_EXCL, 0600);
        if (descriptor >= 0) {
            ::close(descriptor);
            return;
        }
        if (errno != EEXIST || attempt == 100) {
            const int error = errno;
            m_path.clear();
            throw PlatformError(text(AVERROR(error)));
        }
    }
}

PartFile::~PartFile()
{
    if (!m_path.isEmpty()) {
        ::unlink(QFile::encodeName(m_path).constData());
    }
}

void PartFile::keepAs(const QString& destination)
{
    const QByteArray from = QFile::encodeName(m_path);
    const QByteArray to = QFile::encodeName(destination);
    if (::renameat2(AT_FDCWD, from.constData(), AT_FDCWD, to.constData(), RENAME_NOREPLACE) != 0) {
        if (errno != EINVAL && errno != ENOSYS) {
            throw PlatformError(text(AVERROR(errno)));
        }
        // File systems without an exclusive rename: a hard link fails when the name is taken.
        if (::link(from.constData(), to.constData()) != 0) {
            throw PlatformError(text(AVERROR(errno)));
        }
        ::unlink(from.constData());
    }
    m_path.clear();
}

void copyWithoutLeadingSilence(const QString& from, const QString& to, std::int64_t samples)
{
    silenceLogging();
    AVFormatContext* opened = nullptr;
    check(avformat_open_input(&opened, fileUrl(from).constData(), nullptr, nullptr));
    const FormatInput input(opened);
    check(avformat_find_stream_info(opened, nullptr));
    const int index = check(av_find_best_stream(opened, AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0));
    const AVStream* source = opened->streams[index];
    const AVRational samplesBase { 1, source->codecpar->sample_rate };
    const int frameSize = source->codecpar->frame_size > 0 ? source->codecpar->frame_size : 1024;

    AVFormatContext* muxer = nullptr;
    if (avformat_alloc_output_context2(&muxer, nullptr, "ipod", nullptr) < 0) {
        throw exportUnavailable();
    }
    const FormatOutput output(muxer);
    AVStream* copy = avformat_new_stream(muxer, nullptr);
    if (!copy) {
        throw exportUnavailable();
    }
    check(avcodec_parameters_copy(copy->codecpar, source->codecpar));
    copy->codecpar->codec_tag = 0;
    copy->time_base = samplesBase;
    check(av_opt_set_int(muxer->priv_data, "movie_timescale", samplesBase.den, 0));
    check(avio_open(&muxer->pb, fileUrl(to).constData(), AVIO_FLAG_WRITE));
    check(avformat_write_header(muxer, nullptr));

    const Packet packet(allocated(av_packet_alloc()));
    while (true) {
        const int read = av_read_frame(opened, packet.get());
        if (read == AVERROR_EOF) {
            break;
        }
        check(read);
        if (packet->stream_index != index) {
            av_packet_unref(packet.get());
            continue;
        }
        av_packet_rescale_ts(packet.get(), source->time_base, samplesBase);
        // A packet decodes with the overlap of the one before it: keep two silent packets ahead of
        // the first sample that counts, so the first kept packet starts from silence as before.
        if (packet->pts + frameSize <= samples - 2 * frameSize) {
            av_packet_unref(packet.get());
            continue;
        }
        packet->pts -= samples;
        packet->dts -= samples;
        packet->stream_index = copy->index;
        const int written = av_write_frame(muxer, packet.get());
        av_packet_unref(packet.get());
        check(written);
    }
    check(av_write_trailer(muxer));
    check(avio_closep(&muxer->pb));
}
