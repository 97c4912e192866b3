#pragma once

// What the FFmpeg users of this folder share: error texts, ownership of library objects.

#include "error.h"
#include "pcmbuffer.h"
#include "platformtext.h"

#include <QByteArray>
#include <QFile>
#include <QFileInfo>
#include <QString>
#include <cerrno>
#include <memory>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libswresample/swresample.h>
}

namespace ffmpeg {

// The library's error, as a French sentence.
inline QString text(int status)
{
    return ffmpegErrorText(status);
}

// Throws for a failed call: a system error (such as a full disk) as such, others in the library's
// meaning.
inline int check(int status)
{
    if (status < 0 && status > -4096) {
        throw StorageError(-status);
    }
    if (status < 0) {
        throw PlatformError(text(status));
    }
    return status;
}

// The library's sample format for one of our buffer formats.
inline AVSampleFormat sampleFormat(const PcmFormat& format)
{
    switch (format.sampleType) {
    case SampleType::Float32:
        return format.interleaved ? AV_SAMPLE_FMT_FLT : AV_SAMPLE_FMT_FLTP;
    case SampleType::Int16:
        return format.interleaved ? AV_SAMPLE_FMT_S16 : AV_SAMPLE_FMT_S16P;
    case SampleType::Int32:
        return format.interleaved ? AV_SAMPLE_FMT_S32 : AV_SAMPLE_FMT_S32P;
    }
    return AV_SAMPLE_FMT_NONE;
}

template<typename T> T* allocated(T* pointer)
{
    if (!pointer) {
        throw PlatformError(text(AVERROR(ENOMEM)));
    }
    return pointer;
}

// An explicit protocol, so that a file name holding a colon is never taken for an address.
inline QByteArray fileUrl(const QString& path)
{
    return "file:" + QFile::encodeName(QFileInfo(path).absoluteFilePath());
}

// The library writes nothing to the terminal.
void silenceLogging();

struct FormatInputDeleter
{
    void operator()(AVFormatContext* context) const { avformat_close_input(&context); }
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
using FormatOutput = std::unique_ptr<AVFormatContext, FormatOutputDeleter>;
using Codec = std::unique_ptr<AVCodecContext, CodecDeleter>;
using Resampler = std::unique_ptr<SwrContext, ResamplerDeleter>;
using Packet = std::unique_ptr<AVPacket, PacketDeleter>;
using Frame = std::unique_ptr<AVFrame, FrameDeleter>;

} // namespace ffmpeg
