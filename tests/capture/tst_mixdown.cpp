#include "audiocapture.h"
#include "captureerror.h"
#include "trackwriter.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>
#include <cmath>
#include <numbers>
#include <sndfile.h>
#include <thread>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libswresample/swresample.h>
}

namespace {

constexpr int rate = 48000;

// A steady sine written as a track file, and where it is placed in the mix.
struct Tone
{
    double frequency = 440;
    double seconds = 1;
    double offset = 0;
    int sampleRate = rate;
    int channels = 2;
    int subtype = SF_FORMAT_FLOAT;
};

void writeTone(const QString& path, const Tone& tone)
{
    SF_INFO info {};
    info.samplerate = tone.sampleRate;
    info.channels = tone.channels;
    info.format = SF_FORMAT_CAF | tone.subtype;
    SNDFILE* file = sf_open(QFile::encodeName(path).constData(), SFM_WRITE, &info);
    QVERIFY2(file, sf_strerror(nullptr));
    const auto frames = std::int64_t(std::llround(tone.seconds * tone.sampleRate));
    std::vector<float> block(std::size_t(4096 * tone.channels));
    for (std::int64_t done = 0; done < frames;) {
        const std::int64_t count = std::min<std::int64_t>(4096, frames - done);
        for (std::int64_t frame = 0; frame < count; ++frame) {
            const double time = double(done + frame) / tone.sampleRate;
            const auto value = float(0.3 * std::sin(2 * std::numbers::pi * tone.frequency * time));
            for (int channel = 0; channel < tone.channels; ++channel) {
                block[std::size_t(frame * tone.channels + channel)] = value;
            }
        }
        sf_writef_float(file, block.data(), count);
        done += count;
    }
    sf_close(file);
}

// The first audio stream of a media file, decoded to 48 kHz stereo float.
struct Decoded
{
    bool ok = false;
    double duration = 0; // as the container states it, priming and padding left out
    std::vector<float> left;

    [[nodiscard]] double seconds() const { return double(left.size()) / rate; }

    // Amplitude of the `frequency` component over [from, to) seconds.
    [[nodiscard]] double level(double frequency, double from, double to) const
    {
        const auto first = std::size_t(from * rate);
        const auto last = std::min(left.size(), std::size_t(to * rate));
        double re = 0;
        double im = 0;
        for (std::size_t index = first; index < last; ++index) {
            const double phase = 2 * std::numbers::pi * frequency * double(index) / rate;
            re += left[index] * std::cos(phase);
            im += left[index] * std::sin(phase);
        }
        return 2 * std::hypot(re, im) / double(std::max<std::size_t>(1, last - first));
    }
};

Decoded decode(const QString& path)
{
    Decoded decoded;
    AVFormatContext* format = nullptr;
    if (avformat_open_input(&format, QFile::encodeName(path).constData(), nullptr, nullptr) < 0) {
        return decoded;
    }
    avformat_find_stream_info(format, nullptr);
    int stream = -1;
    for (unsigned index = 0; index < format->nb_streams && stream < 0; ++index) {
        if (format->streams[index]->codecpar->codec_type == AVMEDIA_TYPE_AUDIO) {
            stream = int(index);
        }
    }
    const AVCodec* codec
        = stream < 0 ? nullptr : avcodec_find_decoder(format->streams[stream]->codecpar->codec_id);
    AVCodecContext* decoder = codec ? avcodec_alloc_context3(codec) : nullptr;
    if (decoder) {
        avcodec_parameters_to_context(decoder, format->streams[stream]->codecpar);
    }
    if (stream >= 0) {
        const AVStream* audio = format->streams[stream];
        decoded.duration = double(audio->duration) * av_q2d(audio->time_base);
    }
    if (!decoder || avcodec_open2(decoder, codec, nullptr) < 0) {
        avcodec_free_context(&decoder);
        avformat_close_input(&format);
        return decoded;
    }
    AVPacket* packet = av_packet_alloc();
    AVFrame* frame = av_frame_alloc();
    SwrContext* resampler = nullptr;
    std::vector<float> converted;
    bool draining = false;
    while (true) {
        const int received = avcodec_receive_frame(decoder, frame);
        if (received == AVERROR(EAGAIN) && !draining) {
            if (av_read_frame(format, packet) < 0) {
                avcodec_send_packet(decoder, nullptr);
                draining = true;
            } else {
                if (packet->stream_index == stream) {
                    avcodec_send_packet(decoder, packet);
                }
                av_packet_unref(packet);
            }
            continue;
        }
        if (received < 0) {
            decoded.ok = received == AVERROR_EOF;
            break;
        }
        if (!resampler) {
            AVChannelLayout stereo = AV_CHANNEL_LAYOUT_STEREO;
            AVChannelLayout input {};
            av_channel_layout_default(&input, frame->ch_layout.nb_channels);
            swr_alloc_set_opts2(&resampler, &stereo, AV_SAMPLE_FMT_FLT, rate, &input,
                AVSampleFormat(frame->format), frame->sample_rate, 0, nullptr);
            swr_init(resampler);
        }
        converted.resize(std::size_t(swr_get_out_samples(resampler, frame->nb_samples) * 2));
        auto* out = reinterpret_cast<std::uint8_t*>(converted.data());
        const int got = swr_convert(resampler, &out, int(converted.size() / 2),
            const_cast<const std::uint8_t**>(frame->extended_data), frame->nb_samples);
        for (int index = 0; index < got; ++index) {
            decoded.left.push_back(converted[std::size_t(index * 2)]);
        }
        av_frame_unref(frame);
    }
    swr_free(&resampler);
    av_frame_free(&frame);
    av_packet_free(&packet);
    avcodec_free_context(&decoder);
    avformat_close_input(&format);
    return decoded;
}

// Makes a media file with the ffmpeg command line from lavfi sources.
bool ffmpeg(const QStringList& arguments)
{
    QProcess process;
    process.start(QStringLiteral("ffmpeg"),
        QStringList { QStringLiteral("-nostdin"), QStringLiteral("-v"), QStringLiteral("error"),
            QStringLiteral("-y") }
            + arguments);
    return process.waitForFinished(60000) && process.exitStatus() == QProcess::NormalExit
        && process.exitCode() == 0;
}

// Every window of the mix carries an input's tone exactly while that input plays.
void verifyPlacement(const Decoded& mix, const QList<Tone>& tones)
{
    const double window = 0.1;
    for (const Tone& tone : tones) {
        for (double from = 0; from + window <= mix.seconds(); from += window) {
            const double to = from + window;
            const double level = mix.level(tone.frequency, from, to);
            const double end = tone.offset + tone.seconds;
            if (from >= tone.offset + 0.03 && to <= end - 0.03) {
                QVERIFY2(level > 0.15,
                    qPrintable(QStringLiteral("%1 Hz missing at %2 s (%3)")
                                   .arg(tone.frequency)
                                   .arg(from)
                                   .arg(level)));
            } else if (to <= tone.offset - 0.03 || from >= end + 0.03) {
                QVERIFY2(level < 0.01,
                    qPrintable(QStringLiteral("%1 Hz heard at %2 s (%3)")
                                   .arg(tone.frequency)
                                   .arg(from)
                                   .arg(level)));
            }
        }
    }
}

// The decoder hands out the encoder's padding too: up to one frame of 1024 samples more.
constexpr double lengthTolerance = 1024.0 / rate;

// The stated length is exact to the container's millisecond; the decoded one within the padding.
void verifyLength(const Decoded& mix, double expected)
{
    QVERIFY(mix.ok);
    QVERIFY2(std::abs(mix.duration - expected) <= 0.001,
        qPrintable(QStringLiteral("stated %1 s, expected %2 s").arg(mix.duration).arg(expected)));
    QVERIFY2(mix.seconds() >= expected - 0.5 / rate && mix.seconds() <= expected + lengthTolerance,
        qPrintable(QStringLiteral("decoded %1 s, expected %2 s").arg(mix.seconds()).arg(expected)));
}

} // namespace

Q_DECLARE_METATYPE(Tone)

class tst_Mixdown : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void placesEachInputAtItsOffset_data()
    {
        QTest::addColumn<QList<Tone>>("tones");
        QTest::addColumn<double>("length");
        QTest::newRow("one input at 0") << QList<Tone> { { 440, 3, 0 } } << 3.0;
        QTest::newRow("10 s + 10 s at 1.5 s")
            << QList<Tone> { { 440, 10, 0 }, { 1000, 10, 1.5 } } << 11.5;
        QTest::newRow("later input listed first")
            << QList<Tone> { { 2500, 1, 2.25 }, { 440, 2, 0 } } << 3.25;
        QTest::newRow("short input inside a long one")
            << QList<Tone> { { 440, 4, 0 }, { 1000, 1, 1 } } << 4.0;
        QTest::newRow("last input shorter than a frame")
            << QList<Tone> { { 440, 2, 0 }, { 1000, 0.01, 2.0 } } << 2.01;
        QTest::newRow("mono 16-bit 44.1 kHz, resampled")
            << QList<Tone> { { 1000, 2, 0.5, 44100, 1, SF_FORMAT_PCM_16 } } << 2.5;
    }

    void placesEachInputAtItsOffset()
    {
        QFETCH(QList<Tone>, tones);
        QFETCH(double, length);
        QList<AudioCapture::Input> inputs;
        for (const Tone& tone : tones) {
            const QString path = m_dir.filePath(QStringLiteral("%1.caf").arg(inputs.size()));
            writeTone(path, tone);
            inputs.append({ path, tone.offset });
        }
        const QString destination = m_dir.filePath(QStringLiteral("mix.m4a"));
        QFile::remove(destination);

        AudioCapture::exportAudio(inputs, destination);

        const Decoded mix = decode(destination);
        verifyLength(mix, length);
        verifyPlacement(mix, tones);
    }

    void mixPutsTheMicrophoneFirst()
    {
        const QString microphone = m_dir.filePath(QStringLiteral("microphone.caf"));
        const QString system = m_dir.filePath(QStringLiteral("appel.caf"));
        const Tone voice { 440, 1.5, 0.35 };
        const Tone call { 1000, 1, 0 };
        writeTone(microphone, voice);
        writeTone(system, call);
        const QString destination = m_dir.filePath(QStringLiteral("reunion.m4a"));
        QFile::remove(destination);

        AudioCapture::mix(microphone, system, destination, voice.offset, call.offset);

        const Decoded mix = decode(destination);
        verifyLength(mix, 1.85);
        verifyPlacement(mix, { voice, call });
    }

    void usesOnlyTheFirstAudioStream()
    {
        const QString input = m_dir.filePath(QStringLiteral("streams.mkv"));
        QVERIFY(ffmpeg({ QStringLiteral("-f"), QStringLiteral("lavfi"), QStringLiteral("-i"),
            QStringLiteral("color=size=16x16:duration=3"), QStringLiteral("-f"),
            QStringLiteral("lavfi"), QStringLiteral("-i"),
            QStringLiteral("sine=frequency=440:duration=1:sample_rate=48000"), QStringLiteral("-f"),
            QStringLiteral("lavfi"), QStringLiteral("-i"),
            QStringLiteral("sine=frequency=1000:duration=3:sample_rate=48000"),
            QStringLiteral("-map"), QStringLiteral("0"), QStringLiteral("-map"),
            QStringLiteral("1"), QStringLiteral("-map"), QStringLiteral("2"),
            QStringLiteral("-c:v"), QStringLiteral("mpeg4"), QStringLiteral("-c:a"),
            QStringLiteral("pcm_s16le"), input }));
        const QString destination = m_dir.filePath(QStringLiteral("first-stream.m4a"));

        AudioCapture::exportAudio({ { input, 0 } }, destination);

        const Decoded mix = decode(destination);
        verifyLength(mix, 1.0);
        QVERIFY(mix.level(440, 0.1, 0.9) > 0.05);
        QVERIFY(mix.level(1000, 0.1, 0.9) < 0.005);
    }

    void failsAndLeavesNothing_data()
    {
        QTest::addColumn<QString>("second");
        QTest::addColumn<QString>("message"); // empty: the library's own error
        QTest::newRow("no audio stream")
            << QStringLiteral("video.mkv") << QStringLiteral("Impossible de lire une piste audio.");
        QTest::newRow("not media") << QStringLiteral("notes.txt") << QString();
        QTest::newRow("missing file") << QStringLiteral("absent.caf") << QString();
    }

    void failsAndLeavesNothing()
    {
        QFETCH(QString, second);
        QFETCH(QString, message);
        QTemporaryDir dir;
        const QString first = dir.filePath(QStringLiteral("first.caf"));
        writeTone(first, { 440, 1, 0 });
        QVERIFY(ffmpeg({ QStringLiteral("-f"), QStringLiteral("lavfi"), QStringLiteral("-i"),
            QStringLiteral("color=size=16x16:duration=1"), QStringLiteral("-c:v"),
            QStringLiteral("mpeg4"), dir.filePath(QStringLiteral("video.mkv")) }));
        QFile notes(dir.filePath(QStringLiteral("notes.txt")));
        QVERIFY(notes.open(QIODevice::WriteOnly));
        notes.write("Ordre du jour : budget, recrutement, questions diverses.\n");
        notes.close();
        const QStringList before = QDir(dir.path()).entryList(QDir::Files | QDir::Hidden);
        const QString destination = dir.filePath(QStringLiteral("reunion.m4a"));

        try {
            AudioCapture::exportAudio({ { first, 0 }, { dir.filePath(second), 1 } }, destination);
            QFAIL("the export must fail");
        } catch (const CaptureError& error) {
            QCOMPARE(error.message(), message);
        } catch (const PlatformError& error) {
            QVERIFY2(message.isEmpty() && !error.message().isEmpty(), qPrintable(error.message()));
        }
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), before);
    }

    void neverReplacesAnExistingFile()
    {
        QTemporaryDir dir;
        const QString input = dir.filePath(QStringLiteral("input.caf"));
        writeTone(input, { 440, 0.5, 0 });
        const QString destination = dir.filePath(QStringLiteral("reunion.m4a"));
        QFile existing(destination);
        QVERIFY(existing.open(QIODevice::WriteOnly));
        existing.write("someone else's file");
        existing.close();

        QVERIFY_THROWS_EXCEPTION(
            PlatformError, AudioCapture::exportAudio({ { input, 0 } }, destination));
        QVERIFY(existing.open(QIODevice::ReadOnly));
        QCOMPARE(existing.readAll(), QByteArray("someone else's file"));
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden).size(), 2);
    }

    void aStopRequestAbandonsTheExport()
    {
        QTemporaryDir dir;
        const QString input = dir.filePath(QStringLiteral("long.caf"));
        writeTone(input, { 440, 300, 0, 8000, 1, SF_FORMAT_PCM_16 });
        const QString destination = dir.filePath(QStringLiteral("reunion.m4a"));
        std::stop_source stop;
        std::jthread stopper([&stop] {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            stop.request_stop();
        });

        QVERIFY_THROWS_EXCEPTION(PlatformError,
            AudioCapture::exportAudio({ { input, 0 } }, destination, stop.get_token()));
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden),
            QStringList { QStringLiteral("long.caf") });
    }

    // A track cut short anywhere (the recording process died, the disk filled up) still mixes
    // down to the audio before the cut.
    void mixesATrackCutShort()
    {
        const QString track = m_dir.filePath(QStringLiteral("cut-source.caf"));
        TrackWriter writer(track);
        std::vector<float> samples(2 * 4800);
        for (int buffer = 0; buffer < 30; ++buffer) {
            for (std::size_t frame = 0; frame < 4800; ++frame) {
                const double time = double(buffer * 4800 + int(frame)) / rate;
                samples[frame * 2] = samples[frame * 2 + 1]
                    = float(0.3 * std::sin(2 * std::numbers::pi * 440 * time));
            }
            writer.append(
                { { rate, 2, SampleType::Float32, true }, 4800, std::as_bytes(std::span(samples)) },
                1);
        }
        QVERIFY(writer.finish());
        QFile file(track);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray whole = file.readAll();
        file.close();
        const qsizetype dataOffset = whole.size() - 30 * 4800 * 8;
        const quint32 seed = QRandomGenerator::global()->generate();
        const qsizetype cut
            = dataOffset + 8 * 4800 + qsizetype(QRandomGenerator(seed).bounded(20 * 4800 * 8));
        const QString copy = m_dir.filePath(QStringLiteral("cut.caf"));
        QFile out(copy);
        QVERIFY(out.open(QIODevice::WriteOnly | QIODevice::Truncate));
        out.write(whole.left(cut));
        out.close();
        const QString destination = m_dir.filePath(QStringLiteral("cut.m4a"));
        QFile::remove(destination);

        AudioCapture::exportAudio({ { copy, 0 } }, destination);

        const Decoded mix = decode(destination);
        const double expected = double((cut - dataOffset) / 8) / rate;
        qInfo("cut seed %u", seed);
        verifyLength(mix, expected);
        verifyPlacement(mix, { { 440, expected, 0 } });
    }

    void exportsRunSideBySide()
    {
        QTemporaryDir dir;
        QList<QString> destinations;
        std::vector<std::jthread> exports;
        std::vector<std::exception_ptr> failures(2);
        for (int index = 0; index < 2; ++index) {
            const QString input = dir.filePath(QStringLiteral("in%1.caf").arg(index));
            writeTone(input, { 440, 2.0 + index, 0 });
            destinations.append(dir.filePath(QStringLiteral("out%1.m4a").arg(index)));
            exports.emplace_back([input, destination = destinations.last(), &failures, index] {
                try {
                    AudioCapture::exportAudio({ { input, 0 } }, destination);
                } catch (...) {
                    failures[std::size_t(index)] = std::current_exception();
                }
            });
        }
        exports.clear();
        for (int index = 0; index < 2; ++index) {
            QVERIFY(!failures[std::size_t(index)]);
            verifyLength(decode(destinations[index]), 2.0 + index);
        }
    }

private:
    QTemporaryDir m_dir;
};

QTEST_GUILESS_MAIN(tst_Mixdown)
#include "tst_mixdown.moc"
