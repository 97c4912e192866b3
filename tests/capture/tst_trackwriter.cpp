#include "error.h"
#include "trackwriter.h"

#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <limits>
#include <sndfile.h>
#include <vector>

namespace {

// A generated chunk of PCM audio that owns its bytes.
class Chunk
{
public:
    Chunk(PcmFormat format, std::int64_t frames)
        : m_format(format)
        , m_frames(frames)
        , m_bytes(std::size_t(frames * format.channelCount * bytesPerSample(format.sampleType)))
    { }

    // Sets the sample of `channel` at `frame`, wherever the layout keeps it.
    void set(int channel, std::int64_t frame, double value)
    {
        const std::int64_t index = m_format.interleaved ? frame * m_format.channelCount + channel
                                                        : channel * m_frames + frame;
        switch (m_format.sampleType) {
        case SampleType::Float32:
            store(index, float(value));
            break;
        case SampleType::Int16:
            store(index, std::int16_t(value));
            break;
        case SampleType::Int32:
            store(index, std::int32_t(value));
            break;
        }
    }

    [[nodiscard]] PcmBuffer view() const { return { m_format, m_frames, m_bytes }; }

private:
    template<typename Sample> void store(std::int64_t index, Sample value)
    {
        std::memcpy(m_bytes.data() + index * sizeof(Sample), &value, sizeof(Sample));
    }

    PcmFormat m_format;
    std::int64_t m_frames;
    std::vector<std::byte> m_bytes;
};

// A distinct, exactly representable value per channel and frame of the whole track.
double patternValue(SampleType type, int channel, std::int64_t frame)
{
    const auto step = double((frame * 7 + channel * 131) % 2000 - 1000);
    switch (type) {
    case SampleType::Float32:
        return step / 1024.0;
    case SampleType::Int16:
        return step * 30;
    case SampleType::Int32:
        return step * 2'000'000;
    }
    return 0;
}

struct Track
{
    SF_INFO info {};
    std::vector<double> samples; // interleaved, in the file's own scale
};

template<typename Sample>
void readSamples(SNDFILE* file, sf_count_t (*read)(SNDFILE*, Sample*, sf_count_t), Track& track)
{
    std::vector<Sample> raw(std::size_t(track.info.frames * track.info.channels));
    const sf_count_t got = read(file, raw.data(), track.info.frames);
    raw.resize(std::size_t(got * track.info.channels));
    track.samples.assign(raw.begin(), raw.end());
}

Track readTrack(const QString& path)
{
    Track track;
    SNDFILE* file = sf_open(QFile::encodeName(path).constData(), SFM_READ, &track.info);
    if (!file) {
        qWarning("cannot open %s: %s", qPrintable(path), sf_strerror(nullptr));
        return track;
    }
    sf_command(file, SFC_SET_SCALE_FLOAT_INT_READ, nullptr, SF_FALSE);
    switch (track.info.format & SF_FORMAT_SUBMASK) {
    case SF_FORMAT_PCM_16:
        readSamples<short>(file, sf_readf_short, track);
        break;
    case SF_FORMAT_PCM_32:
        readSamples<int>(file, sf_readf_int, track);
        break;
    default:
        readSamples<float>(file, sf_readf_float, track);
        break;
    }
    sf_close(file);
    return track;
}

// Feeds chunks `first` to `first + count - 1` of a track carrying the pattern, `frames` each.
void feedPattern(TrackWriter& writer, PcmFormat format, int first, int count, std::int64_t frames,
    std::uint64_t hostTime = 1'000'000'000)
{
    for (int index = first; index < first + count; ++index) {
        Chunk chunk(format, frames);
        for (int channel = 0; channel < format.channelCount; ++channel) {
            for (std::int64_t frame = 0; frame < frames; ++frame) {
                chunk.set(channel, frame,
                    patternValue(format.sampleType, channel, index * frames + frame));
            }
        }
        writer.append(chunk.view(), hostTime + std::uint64_t(index) * 10'000'000);
    }
}

QByteArray fileBytes(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

int expectedSubtype(SampleType type)
{
    switch (type) {
    case SampleType::Float32:
        return SF_FORMAT_FLOAT;
    case SampleType::Int16:
        return SF_FORMAT_PCM_16;
    case SampleType::Int32:
        return SF_FORMAT_PCM_32;
    }
    return 0;
}

} // namespace

class tst_TrackWriter : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void writesTheSourceFormatFromTheFirstNonEmptyBuffer_data()
    {
        QTest::addColumn<int>("sampleType");
        QTest::addColumn<int>("channels");
        QTest::addColumn<bool>("interleaved");
        QTest::addColumn<int>("rate");
        QTest::newRow("float stereo interleaved") << int(SampleType::Float32) << 2 << true << 48000;
        QTest::newRow("float stereo planar") << int(SampleType::Float32) << 2 << false << 44100;
        QTest::newRow("float mono") << int(SampleType::Float32) << 1 << false << 16000;
        QTest::newRow("int16 stereo interleaved") << int(SampleType::Int16) << 2 << true << 48000;
        QTest::newRow("int16 3ch planar") << int(SampleType::Int16) << 3 << false << 48000;
        QTest::newRow("int32 stereo planar") << int(SampleType::Int32) << 2 << false << 96000;
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
        const Chunk empty(format, 0);
        writer.append(empty.view(), 5);
        writer.append(empty.view(), 6);
        QVERIFY2(!QFile::exists(path), "an empty buffer must not create the file");

        const std::uint64_t firstHostTime = 123'456'789'012;
        const int buffers = 5;
        const std::int64_t frames = 441;
        feedPattern(writer, format, 0, buffers, frames, firstHostTime);
        // Written before append returns, not only when the track is finished.
        QCOMPARE(readTrack(path).info.frames, buffers * frames);

        const auto finished = writer.finish();
        QVERIFY(finished);
        QCOMPARE(finished->start, 123.456789012);
        QVERIFY(finished->hasSignal);

        const Track track = readTrack(path);
        QCOMPARE(track.info.format, SF_FORMAT_CAF | expectedSubtype(format.sampleType));
        QCOMPARE(track.info.channels, channels);
        QCOMPARE(track.info.samplerate, rate);
        QCOMPARE(track.info.frames, buffers * frames);
        for (std::int64_t frame = 0; frame < buffers * frames; ++frame) {
            for (int channel = 0; channel < channels; ++channel) {
                const double expected = patternValue(format.sampleType, channel, frame);
                if (track.samples[std::size_t(frame * channels + channel)] != expected) {
                    QFAIL(
                        qPrintable(QStringLiteral("frame %1 channel %2: %3, expected %4")
                                       .arg(frame)
                                       .arg(channel)
                                       .arg(track.samples[std::size_t(frame * channels + channel)])
                                       .arg(expected)));
                }
            }
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
        QTest::newRow("-1e-5 is not sound")
            << f32 << false << true << 1 << 0 << 3 << -1e-5 << false;
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
        QFETCH(bool, checkSignal);
        QFETCH(int, buffer);
        QFETCH(int, channel);
        QFETCH(int, frame);
        QFETCH(double, value);
        const PcmFormat format { 48000, 2, SampleType(sampleType), interleaved };

        TrackWriter writer(m_dir.filePath(u"signal.caf"_qs), checkSignal);
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
        QFile::remove(m_dir.filePath(u"signal.caf"_qs));
    }

    void latchesTheCreationError_data()
    {
        QTest::addColumn<QString>("folder");
        QTest::addColumn<int>("systemError");
        QTest::newRow("missing folder") << u"missing"_qs << ENOENT;
        QTest::newRow("folder is a file") << u"plain-file"_qs << ENOTDIR;
    }

    void latchesTheCreationError()
    {
        QFETCH(QString, folder);
        QFETCH(int, systemError);
        QFile plain(m_dir.filePath(u"plain-file"_qs));
        QVERIFY(plain.open(QIODevice::WriteOnly));
        plain.close();
        const QString path = m_dir.filePath(folder + QStringLiteral("/track.caf"));

        TrackWriter writer(path, true);
        const PcmFormat format { 48000, 2, SampleType::Float32, true };
        feedPattern(writer, format, 0, 1, 64);
        QVERIFY(!QFile::exists(path));
        if (systemError == ENOENT) {
            // Once failed, later buffers are ignored even when they could now be written.
            QVERIFY(QDir(m_dir.path()).mkdir(folder));
            feedPattern(writer, format, 1, 3, 64);
            QVERIFY(!QFile::exists(path));
            QDir(m_dir.path()).rmdir(folder);
        }
        try {
            (void)writer.finish();
            QFAIL("finish must throw the creation error");
        } catch (const PlatformError& error) {
            QVERIFY2(error.message().contains(QString::fromUtf8(std::strerror(systemError))),
                qPrintable(error.message()));
        }
    }

    void reportsNoTrackWithoutFrames()
    {
        const QString path = m_dir.filePath(u"never.caf"_qs);
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
        const qsizetype bufferBytes = frames * 2 * sizeof(float);
        const quint32 seed = QRandomGenerator::global()->generate();
        QRandomGenerator random(seed);

        TrackWriter writer(path);
        int written = 0;
        for (int crash = 0; crash < 8; ++crash) {
            const int more = 1 + int(random.bounded(12));
            feedPattern(writer, format, written, more, frames);
            written += more;
            const QByteArray complete = fileBytes(path);
            // The next buffer's bytes reached the disk only in part when the process died.
            feedPattern(writer, format, written, 1, frames);
            ++written;
            const QByteArray next = fileBytes(path);
            const qsizetype partial = qsizetype(random.bounded(quint32(bufferBytes)));
            QFile out(copy);
            QVERIFY(out.open(QIODevice::WriteOnly | QIODevice::Truncate));
            out.write(complete + next.mid(complete.size(), partial));
            out.close();

            const Track track = readTrack(copy);
            const std::int64_t expectedFrames = (written - 1) * frames;
            QVERIFY2(track.info.frames == expectedFrames,
                qPrintable(QStringLiteral("seed %1 crash %2: %3 frames, expected %4")
                               .arg(seed)
                               .arg(crash)
                               .arg(track.info.frames)
                               .arg(expectedFrames)));
            QCOMPARE(track.samples.size(), std::size_t(expectedFrames * 2));
            for (std::int64_t frame = 0; frame < expectedFrames; ++frame) {
                QCOMPARE(track.samples[std::size_t(frame * 2 + 1)],
                    patternValue(SampleType::Float32, 1, frame));
            }
        }
        QVERIFY(writer.finish());
        QCOMPARE(readTrack(path).info.frames, written * frames);
    }

private:
    QTemporaryDir m_dir;
};

QTEST_GUILESS_MAIN(tst_TrackWriter)
#include "tst_trackwriter.moc"
