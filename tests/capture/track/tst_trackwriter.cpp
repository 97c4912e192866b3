#include "error.h"
#include "platformtext.h"
#include "track/recordingfolder.h"
#include "track/trackwriter.h"

#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <sndfile.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <vector>

#ifndef __NR_cachestat
#define __NR_cachestat 451 // Linux 6.5, the same number on every architecture
#endif

namespace {

// A generated chunk of PCM audio that owns its bytes.
struct Chunk
{
    PcmFormat format;
    std::int64_t frames;
    std::vector<std::byte> bytes;

    Chunk(PcmFormat format, std::int64_t frames)
        : format(format)
        , frames(frames)
        , bytes(std::size_t(frames * format.channelCount * bytesPerSample(format.sampleType)))
    { }

    // Sets the sample of `channel` at `frame`, wherever the layout keeps it.
    void set(int channel, std::int64_t frame, double value)
    {
        const std::int64_t index
            = format.interleaved ? frame * format.channelCount + channel : channel * frames + frame;
        const float asFloat = float(value);
        const auto asInt16 = std::int16_t(value);
        const auto asInt32 = std::int32_t(value);
        const void* sample = format.sampleType == SampleType::Float32 ? (const void*)&asFloat
            : format.sampleType == SampleType::Int16                  ? (const void*)&asInt16
                                                                      : (const void*)&asInt32;
        const int size = bytesPerSample(format.sampleType);
        std::memcpy(bytes.data() + index * size, sample, std::size_t(size));
    }

    // Sets every sample to `valueAt(channel, frame)`.
    template<typename Value> Chunk& fill(Value valueAt)
    {
        for (int channel = 0; channel < format.channelCount; ++channel) {
            for (std::int64_t frame = 0; frame < frames; ++frame) {
                set(channel, frame, valueAt(channel, frame));
            }
        }
        return *this;
    }

    [[nodiscard]] PcmBuffer view() const { return { format, frames, bytes }; }
};

// A distinct value per channel and frame of the whole track, exact in every sample type.
double patternValue(SampleType type, int channel, std::int64_t frame)
{
    const auto step = double((frame * 7 + channel * 131) % 2000 - 1000);
    return type == SampleType::Float32 ? step / 1024 : step * 30;
}

std::uint64_t framesToNanoseconds(std::int64_t frames, const PcmFormat& format)
{
    return std::uint64_t(std::llround(double(frames) * 1e9 / format.sampleRate));
}

// Feeds chunks `first` to `first + count - 1` of a track carrying the pattern, `frames` each.
void feedPattern(TrackWriter& writer, PcmFormat format, int first, int count, std::int64_t frames,
    std::uint64_t hostTime = 1'000'000'000)
{
    for (int index = first; index < first + count; ++index) {
        const Chunk chunk = Chunk(format, frames).fill([&](int channel, std::int64_t frame) {
            return patternValue(format.sampleType, channel, index * frames + frame);
        });
        writer.append(chunk.view(), hostTime + framesToNanoseconds(index * frames, format));
    }
}

struct Track
{
    SF_INFO info {};
    std::vector<double> samples; // interleaved, in the file's own scale
};

Track readTrack(const QString& path)
{
    Track track;
    SNDFILE* file = sf_open(QFile::encodeName(path).constData(), SFM_READ, &track.info);
    if (!file) {
        qWarning("cannot open %s: %s", qPrintable(path), sf_strerror(nullptr));
        return track;
    }
    sf_command(file, SFC_SET_NORM_DOUBLE, nullptr, SF_FALSE);
    track.samples.resize(std::size_t(track.info.frames * track.info.channels));
    track.samples.resize(std::size_t(sf_readf_double(file, track.samples.data(), track.info.frames))
        * std::size_t(track.info.channels));
    sf_close(file);
    return track;
}

// The first `frames` frames of the track hold the pattern.
void verifyPattern(const Track& track, SampleType type, std::int64_t frames)
{
    const int channels = track.info.channels;
    QCOMPARE(track.samples.size(), std::size_t(frames * channels));
    for (std::int64_t frame = 0; frame < frames; ++frame) {
        for (int channel = 0; channel < channels; ++channel) {
            const double value = track.samples[std::size_t(frame * channels + channel)];
            if (value != patternValue(type, channel, frame)) {
                QFAIL(qPrintable(
                    QStringLiteral("frame %1 channel %2: %3").arg(frame).arg(channel).arg(value)));
            }
        }
    }
}

QByteArray fileBytes(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Pages of `path` written but not yet on the disk; -1 when the system cannot tell.
long long unsyncedPages(const QString& path)
{
    struct
    {
        std::uint64_t offset = 0, length = 0; // the whole file
    } range;
    struct
    {
        std::uint64_t cached, dirty, writeback, evicted, recentlyEvicted;
    } pages {};
    const int descriptor = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    const long status = ::syscall(__NR_cachestat, descriptor, &range, &pages, 0);
    ::close(descriptor);
    return status == 0 ? (long long)(pages.dirty + pages.writeback) : -1;
}

} // namespace

class tst_TrackWriter : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void writesTheSourceFormatFromTheFirstNonEmptyBuffer_data()
    {
        QTest::addColumn<int>("sampleType");
        QTest::addColumn<int>("subtype");
        QTest::addColumn<int>("channels");
        QTest::addColumn<bool>("interleaved");
        QTest::addColumn<int>("rate");
        const int f32 = int(SampleType::Float32);
        QTest::newRow("float stereo interleaved")
            << f32 << int(SF_FORMAT_FLOAT) << 2 << true << 48000;
        QTest::newRow("float stereo planar") << f32 << int(SF_FORMAT_FLOAT) << 2 << false << 44100;
        QTest::newRow("float mono") << f32 << int(SF_FORMAT_FLOAT) << 1 << false << 16000;
        QTest::newRow("int16 stereo interleaved")
            << int(SampleType::Int16) << int(SF_FORMAT_PCM_16) << 2 << true << 48000;
        QTest::newRow("int16 3 planes")
            << int(SampleType::Int16) << int(SF_FORMAT_PCM_16) << 3 << false << 48000;
        QTest::newRow("int32 stereo planar")
            << int(SampleType::Int32) << int(SF_FORMAT_PCM_32) << 2 << false << 96000;
    }

    void writesTheSourceFormatFromTheFirstNonEmptyBuffer()
    {
        QFETCH(int, sampleType);
        QFETCH(int, channels);
        QFETCH(bool, interleaved);
        QFETCH(int, rate);
        const PcmFormat format { rate, channels, SampleType(sampleType), interleaved };
        const QString path
            = m_dir.filePath(QString::fromLatin1(QTest::currentDataTag()) + QStringLiteral(".caf"));

        TrackWriter writer(path);
        writer.append(Chunk(format, 0).view(), 5);
        writer.append(Chunk(format, 0).view(), 6);
        QVERIFY2(!QFile::exists(path), "an empty buffer must not create the file");
        feedPattern(writer, format, 0, 5, 441, 123'456'789'012);
        // Written before append returns, not only when the track is finished.
        QCOMPARE(readTrack(path).info.frames, 5 * 441);

        const auto finished = writer.finish();
        QVERIFY(finished);
        QCOMPARE(finished->start, 123.456789012);
        QVERIFY(finished->hasSignal);
        // A straggling buffer after the end leaves the finished track as it is.
        feedPattern(writer, format, 0, 1, 441);

        const Track track = readTrack(path);
        QTEST(track.info.format & SF_FORMAT_SUBMASK, "subtype");
        QCOMPARE(track.info.format & SF_FORMAT_TYPEMASK, SF_FORMAT_CAF);
        QCOMPARE(track.info.channels, channels);
        QCOMPARE(track.info.samplerate, rate);
        verifyPattern(track, format.sampleType, 5 * 441);
    }

    // A first chunk of 0.5 at 48 kHz stereo, then a second one of 0.25 whose host time leaves a
    // gap after the first, overlaps it, or follows it with a little jitter; the second may come
    // from a device with another format, as after a switch.
    void keepsTheHostTimeline_data()
    {
        QTest::addColumn<int>("rate");
        QTest::addColumn<int>("channels");
        QTest::addColumn<int>("sampleType");
        QTest::addColumn<double>("afterFirstMs"); // start of the second chunk after the first's end
        QTest::addColumn<int>("silence"); // frames of silence between the two, in the track
        QTest::addColumn<int>("second"); // frames of the second chunk in the track
        QTest::addColumn<int>("slack"); // the resampler's frames of delay and edges
        const int f32 = int(SampleType::Float32);
        QTest::newRow("gap filled") << 48000 << 2 << f32 << 250.0 << 12000 << 4800 << 0;
        QTest::newRow("jitter kept continuous") << 48000 << 2 << f32 << 4.0 << 0 << 4800 << 0;
        QTest::newRow("early jitter kept continuous")
            << 48000 << 2 << f32 << -4.0 << 0 << 4800 << 0;
        QTest::newRow("overlap cut") << 48000 << 2 << f32 << -20.0 << 0 << 3840 << 0;
        QTest::newRow("wholly overlapping dropped") << 48000 << 2 << f32 << -150.0 << 0 << 0 << 0;
        QTest::newRow("other device converted")
            << 44100 << 1 << int(SampleType::Int16) << 100.0 << 4800 << 4800 << 64;
        QTest::newRow("other rate converted, no gap")
            << 96000 << 2 << f32 << 0.0 << 0 << 4800 << 64;
    }

    void keepsTheHostTimeline()
    {
        QFETCH(int, rate);
        QFETCH(int, channels);
        QFETCH(int, sampleType);
        QFETCH(double, afterFirstMs);
        QFETCH(int, silence);
        QFETCH(int, second);
        QFETCH(int, slack);
        const PcmFormat trackFormat { 48000, 2, SampleType::Float32, true };
        const PcmFormat secondFormat { rate, channels, SampleType(sampleType), false };
        const QString path = m_dir.filePath(QStringLiteral("timeline.caf"));
        const std::uint64_t start = 5'000'000'000;

        TrackWriter writer(path);
        const double laterValue = sampleType == int(SampleType::Int16) ? 0.25 * 32768 : 0.25;
        writer.append(
            Chunk(trackFormat, 4800).fill([](int, std::int64_t) { return 0.5; }).view(), start);
        writer.append(Chunk(secondFormat, std::int64_t(rate) / 10)
                          .fill([&](int, std::int64_t) { return laterValue; })
                          .view(),
            start + 100'000'000 + std::int64_t(afterFirstMs * 1e6));
        QVERIFY(writer.finish());

        const Track track = readTrack(path);
        QCOMPARE(track.info.samplerate, 48000);
        QCOMPARE(track.info.channels, 2);
        const auto total = std::int64_t(track.samples.size() / 2);
        QVERIFY2(std::abs(total - (4800 + silence + second)) <= slack,
            qPrintable(QStringLiteral("%1 frames").arg(total)));
        const auto at = [&](std::int64_t frame) {
            return track.samples[std::size_t(frame * 2)];
        };
        QCOMPARE(at(4799), 0.5);
        for (std::int64_t frame = 4800; frame < 4800 + silence - slack; ++frame) {
            QCOMPARE(at(frame), 0.0);
        }
        if (second > 0) {
            // A mono device reaches both channels of the track at -3 dB.
            const double expected = channels == 1 ? 0.25 * M_SQRT1_2 : 0.25;
            QVERIFY(std::abs(at(4800 + silence + second / 2) - expected) < 0.01);
        }
    }

    void detectsSignal_data()
    {
        QTest::addColumn<int>("sampleType");
        QTest::addColumn<bool>("interleaved");
        QTest::addColumn<bool>("checkSignal");
        QTest::addColumn<int>("buffer"); // which of the two buffers gets the one sample, -1 none
        QTest::addColumn<int>("channel");
        QTest::addColumn<int>("frame");
        QTest::addColumn<double>("value");
        QTest::addColumn<bool>("hasSignal");

        const auto nan = std::numeric_limits<double>::quiet_NaN();
        const int f32 = int(SampleType::Float32);
        const int i16 = int(SampleType::Int16);
        QTest::newRow("digital silence") << f32 << true << true << -1 << 0 << 0 << 0.0 << false;
        QTest::newRow("1e-5 is not sound") << f32 << true << true << 0 << 1 << 9 << 1e-5 << false;
        QTest::newRow("NaN is not sound") << f32 << false << true << 0 << 1 << 0 << nan << false;
        QTest::newRow("2e-5 last frame of right plane")
            << f32 << false << true << 0 << 1 << 255 << 2e-5 << true;
        QTest::newRow("-2e-5 right channel interleaved")
            << f32 << true << true << 1 << 1 << 0 << -2e-5 << true;
        QTest::newRow("sound then silence stays sound")
            << f32 << true << true << 0 << 0 << 100 << 0.5 << true;
        QTest::newRow("int16 silence") << i16 << true << true << -1 << 0 << 0 << 0.0 << false;
        QTest::newRow("int16 low byte") << i16 << false << true << 1 << 1 << 255 << 1.0 << true;
        QTest::newRow("int16 high byte") << i16 << true << true << 0 << 0 << 7 << 256.0 << true;
        QTest::newRow("unchecked track is sound from the start")
            << f32 << true << false << -1 << 0 << 0 << 0.0 << true;
    }

    void detectsSignal()
    {
        QFETCH(int, sampleType);
        QFETCH(bool, interleaved);
        QFETCH(int, buffer);
        QFETCH(int, channel);
        QFETCH(int, frame);
        QFETCH(double, value);
        QFETCH(bool, checkSignal);
        const PcmFormat format { 48000, 2, SampleType(sampleType), interleaved };
        QTemporaryDir dir;

        TrackWriter writer(dir.filePath(QStringLiteral("appel.caf")), checkSignal);
        for (int index = 0; index < 2; ++index) {
            Chunk chunk(format, 256);
            if (index == buffer) {
                chunk.set(channel, frame, value);
                QCOMPARE(TrackWriter::containsSignal(chunk.view()), bool(std::fabs(value) > 1e-5));
            }
            writer.append(chunk.view(), 1);
        }
        const auto finished = writer.finish();
        QVERIFY(finished);
        QTEST(finished->hasSignal, "hasSignal");
    }

    void latchesTheCreationError_data()
    {
        QTest::addColumn<QString>("folder");
        QTest::addColumn<int>("systemError");
        QTest::newRow("missing folder") << QStringLiteral("missing") << ENOENT;
        QTest::newRow("folder is a file") << QStringLiteral("plain-file") << ENOTDIR;
    }

    void latchesTheCreationError()
    {
        QFETCH(QString, folder);
        QFETCH(int, systemError);
        QTemporaryDir dir;
        QFile plain(dir.filePath(QStringLiteral("plain-file")));
        QVERIFY(plain.open(QIODevice::WriteOnly));
        plain.close();
        const QString path = dir.filePath(folder + QStringLiteral("/track.caf"));
        const PcmFormat format { 48000, 2, SampleType::Float32, true };

        TrackWriter writer(path, true);
        feedPattern(writer, format, 0, 1, 64);
        // Once failed, later buffers are ignored even where they could now be written.
        QDir(dir.path()).mkdir(QStringLiteral("missing"));
        feedPattern(writer, format, 1, 3, 64);
        QVERIFY(!QFile::exists(path));
        try {
            (void)writer.finish();
            QFAIL("finish must throw the creation error");
        } catch (const PlatformError& error) {
            // In French, as every text that can reach the status line.
            QCOMPARE(error.message(), systemErrorText(systemError));
        }
    }

    void reportsNoTrackWithoutFrames()
    {
        const QString path = m_dir.filePath(QStringLiteral("never.caf"));
        TrackWriter untouched(path, true);
        QCOMPARE(untouched.finish().has_value(), false);

        TrackWriter onlyEmpty(path);
        onlyEmpty.append(Chunk({ 48000, 2, SampleType::Float32, true }, 0).view(), 42);
        QCOMPARE(onlyEmpty.finish().has_value(), false);
        QVERIFY(!QFile::exists(path));
    }

    // The process dies while recording, even in the middle of writing a buffer: the file as it
    // stands holds every buffer whose append had returned.
    void aTrackCutShortByACrashStillReads()
    {
        const QString path = m_dir.filePath(QStringLiteral("crashed.caf"));
        const QString copy = m_dir.filePath(QStringLiteral("copy.caf"));
        const PcmFormat format { 48000, 2, SampleType::Float32, false };
        const std::int64_t frames = 480;
        const quint32 seed = QRandomGenerator::global()->generate();
        QRandomGenerator random(seed);
        qInfo("seed %u", seed);

        TrackWriter writer(path);
        int written = 0;
        for (int crash = 0; crash < 8; ++crash) {
            const int more = 1 + int(random.bounded(12));
            feedPattern(writer, format, written, more, frames);
            written += more;
            const QByteArray complete = fileBytes(path);
            // The next buffer's bytes reached the disk only in part when the process died.
            feedPattern(writer, format, written++, 1, frames);
            const auto partial = qsizetype(random.bounded(quint32(frames * 2 * sizeof(float))));
            QFile out(copy);
            QVERIFY(out.open(QIODevice::WriteOnly | QIODevice::Truncate));
            out.write(complete + fileBytes(path).mid(complete.size(), partial));
            out.close();

            verifyPattern(readTrack(copy), format.sampleType, (written - 1) * frames);
        }
        QVERIFY(writer.finish());
        verifyPattern(readTrack(path), format.sampleType, written * frames);
    }

    // While recording, a track reaches the disk every few seconds and its start at once: a power
    // loss takes the last seconds, not the alignment of the tracks.
    void reachesTheDiskWhileRecording()
    {
        const QString path = m_dir.filePath(QStringLiteral("durable.caf"));
        TrackWriter writer(path);
        feedPattern(writer, { 48000, 2, SampleType::Float32, true }, 0, 50, 960);
        if (unsyncedPages(path) <= 0) {
            QSKIP("the system does not tell which pages wait for the disk (cachestat, Linux 6.5)");
        }
        TrackStarts::note(m_dir.path(), QStringLiteral("durable.caf"), 1);
        QCOMPARE(unsyncedPages(TrackStarts::fileIn(m_dir.path())), 0);
        QTRY_COMPARE_WITH_TIMEOUT(unsyncedPages(path), 0, 10'000);
        QVERIFY(writer.finish());
    }

private:
    QTemporaryDir m_dir;
};

QTEST_GUILESS_MAIN(tst_TrackWriter)
#include "tst_trackwriter.moc"
