#include "audiocapture.h"
#include "captureerror.h"
#include "recordedaudio.h"

#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>
#include <thread>

namespace {

constexpr int rate = 48000;

// A sine of amplitude 1/8 in a track file, and where it is placed in the mix.
struct Tone
{
    int frequency = 440;
    double seconds = 1;
    double offset = 0;
    QString format = QStringLiteral("-ar 48000 -ac 2 -c:a pcm_f32le");
};

// Makes `output` with the ffmpeg command line, mostly from its generated sources.
void ffmpeg(const QString& arguments, const QString& output)
{
    runProgram(QStringLiteral("ffmpeg"),
        QStringList { QStringLiteral("-nostdin"), QStringLiteral("-v"), QStringLiteral("error"),
            QStringLiteral("-y") }
            + arguments.split(u' ', Qt::SkipEmptyParts) + QStringList { output });
}

QString writeTone(const QString& path, const Tone& tone)
{
    ffmpeg(QStringLiteral("-f lavfi -i sine=frequency=%1:duration=%2:sample_rate=48000 %3")
               .arg(tone.frequency)
               .arg(tone.seconds)
               .arg(tone.format),
        path);
    return path;
}

// Every 100 ms window carries an input's tone exactly while that input plays.
void verifyPlacement(const RecordedAudio& mix, const QList<Tone>& tones)
{
    for (const Tone& tone : tones) {
        const double end = tone.offset + tone.seconds;
        for (double from = 0; from + 0.1 <= mix.seconds(); from += 0.1) {
            const double level = mix.level(tone.frequency, from, from + 0.1);
            const bool inside = from >= tone.offset + 0.03 && from + 0.1 <= end - 0.03;
            const bool outside = from + 0.1 <= tone.offset - 0.03 || from >= end + 0.03;
            QVERIFY2((!inside || level > 0.1) && (!outside || level < 0.005),
                qPrintable(
                    QStringLiteral("%1 Hz at %2 s: %3").arg(tone.frequency).arg(from).arg(level)));
        }
    }
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
        QTest::addColumn<bool>("asRecorded"); // through mix(): microphone, then call
        QTest::newRow("one input at 0") << QList<Tone> { { 440, 3, 0 } } << 3.0 << false;
        QTest::newRow("10 s + 10 s at 1.5 s")
            << QList<Tone> { { 440, 10, 0 }, { 1000, 10, 1.5 } } << 11.5 << false;
        QTest::newRow("later input listed first")
            << QList<Tone> { { 2500, 1, 2.25 }, { 440, 2, 0 } } << 3.25 << false;
        QTest::newRow("last input shorter than a frame")
            << QList<Tone> { { 440, 2, 0 }, { 1000, 0.01, 2.0 } } << 2.01 << false;
        QTest::newRow("mono 16-bit 44.1 kHz, resampled")
            << QList<Tone> { { 1000, 2, 0.5, QStringLiteral("-ar 44100 -ac 1 -c:a pcm_s16le") } }
            << 2.5 << false;
        QTest::newRow("microphone later than the call")
            << QList<Tone> { { 440, 1.5, 0.35 }, { 1000, 1, 0 } } << 1.85 << true;
    }

    void placesEachInputAtItsOffset()
    {
        QFETCH(QList<Tone>, tones);
        QFETCH(bool, asRecorded);
        QTemporaryDir dir;
        QList<AudioCapture::Input> inputs;
        for (const Tone& tone : tones) {
            inputs.append(
                { writeTone(dir.filePath(QStringLiteral("%1.caf").arg(inputs.size())), tone),
                    tone.offset });
        }
        const QString destination = dir.filePath(QStringLiteral("reunion.m4a"));

        if (asRecorded) {
            AudioCapture::mix(
                inputs[0].file, inputs[1].file, destination, inputs[0].offset, inputs[1].offset);
        } else {
            AudioCapture::exportAudio(inputs, destination);
        }

        const RecordedAudio mix = RecordedAudio::decoded(destination);
        QFETCH(double, length);
        QCOMPARE(mix.lengthMismatch(length), QString());
        verifyPlacement(mix, tones);
    }

    void usesOnlyTheFirstAudioStream()
    {
        QTemporaryDir dir;
        const QString input = dir.filePath(QStringLiteral("streams.mkv"));
        ffmpeg(QStringLiteral("-f lavfi -i color=size=16x16:duration=3 "
                              "-f lavfi -i sine=frequency=440:duration=1:sample_rate=48000 "
                              "-f lavfi -i sine=frequency=1000:duration=3:sample_rate=48000 "
                              "-map 0 -map 1 -map 2 -c:v mpeg4 -c:a pcm_s16le"),
            input);
        const QString destination = dir.filePath(QStringLiteral("first-stream.m4a"));

        AudioCapture::exportAudio({ { input, 0 } }, destination);

        const RecordedAudio mix = RecordedAudio::decoded(destination);
        QCOMPARE(mix.lengthMismatch(1.0), QString());
        verifyPlacement(mix, { { 440, 1, 0 } });
        QVERIFY(mix.level(1000, 0.1, 0.9) < 0.005);
    }

    void failsAndLeavesNothing_data()
    {
        QTest::addColumn<QString>("second"); // empty: the first input alone
        QTest::addColumn<bool>("destinationTaken"); // by someone else's file
        QTest::addColumn<bool>("stopped"); // a stop is requested 50 ms into a long export
        QTest::addColumn<QString>("message"); // empty: the library's own error
        QTest::newRow("no audio stream") << QStringLiteral("video.mkv") << false << false
                                         << QStringLiteral("Impossible de lire une piste audio.");
        QTest::newRow("not media") << QStringLiteral("notes.txt") << false << false << QString();
        QTest::newRow("destination taken") << QString() << true << false << QString();
        QTest::newRow("stop requested") << QString() << false << true << QString();
    }

    void failsAndLeavesNothing()
    {
        QFETCH(QString, second);
        QFETCH(bool, destinationTaken);
        QFETCH(bool, stopped);
        QFETCH(QString, message);
        QTemporaryDir dir;
        const Tone first = stopped
            ? Tone { 440, 300, 0, QStringLiteral("-ar 8000 -ac 1 -c:a pcm_s16le") }
            : Tone { 440, 1, 0 };
        QList<AudioCapture::Input> inputs {
            { writeTone(dir.filePath(QStringLiteral("first.caf")), first), 0 }
        };
        if (!second.isEmpty()) {
            inputs.append({ dir.filePath(second), 1 });
        }
        ffmpeg(QStringLiteral("-f lavfi -i color=size=16x16:duration=1 -c:v mpeg4"),
            dir.filePath(QStringLiteral("video.mkv")));
        QFile notes(dir.filePath(QStringLiteral("notes.txt")));
        QVERIFY(notes.open(QIODevice::WriteOnly));
        notes.write("Ordre du jour : budget, recrutement, questions diverses.\n");
        notes.close();
        QFile destination(dir.filePath(QStringLiteral("reunion.m4a")));
        if (destinationTaken) {
            QVERIFY(destination.open(QIODevice::WriteOnly));
            destination.write("someone else's file");
            destination.close();
        }
        const QStringList before = QDir(dir.path()).entryList(QDir::Files | QDir::Hidden);
        std::stop_source stop;
        const std::jthread stopper([&stop, stopped] {
            if (stopped) {
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
                stop.request_stop();
            }
        });

        try {
            AudioCapture::exportAudio(inputs, destination.fileName(), stop.get_token());
            QFAIL("the export must fail");
        } catch (const CaptureError& error) {
            QCOMPARE(error.message(), message);
        } catch (const PlatformError& error) {
            QVERIFY2(message.isEmpty() && !error.message().isEmpty(), qPrintable(error.message()));
        }
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), before);
        if (destinationTaken) {
            QVERIFY(destination.open(QIODevice::ReadOnly));
            QCOMPARE(destination.readAll(), QByteArray("someone else's file"));
        }
    }

    // A track cut short anywhere (the recording process died, the disk filled up) still mixes
    // down to the audio before the cut, though its header promises more; also where the audio
    // ends a few samples past a millisecond.
    void mixesATrackCutShort_data()
    {
        QTest::addColumn<qsizetype>("frames"); // before the cut, or none for a random cut
        QTest::newRow("anywhere") << qsizetype(0);
        QTest::newRow("11 samples past a millisecond") << qsizetype(2368 * rate / 1000 + 11);
    }

    void mixesATrackCutShort()
    {
        QFETCH(qsizetype, frames);
        QTemporaryDir dir;
        QFile file(writeTone(dir.filePath(QStringLiteral("whole.caf")), { 440, 3, 0 }));
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray whole = file.readAll();
        const qsizetype frameBytes = 8;
        const qsizetype dataOffset = whole.size() - 3 * rate * frameBytes;
        const quint32 seed = QRandomGenerator::global()->generate();
        const qsizetype cut = frames > 0 ? dataOffset + frames * frameBytes + 5
                                         : dataOffset + rate / 2 * frameBytes
                + qsizetype(QRandomGenerator(seed).bounded(2 * rate * frameBytes));
        QFile copy(dir.filePath(QStringLiteral("cut.caf")));
        QVERIFY(copy.open(QIODevice::WriteOnly));
        copy.write(whole.left(cut));
        copy.close();
        const QString destination = dir.filePath(QStringLiteral("cut.m4a"));

        AudioCapture::exportAudio({ { copy.fileName(), 0 } }, destination);

        const RecordedAudio mix = RecordedAudio::decoded(destination);
        const double expected = double((cut - dataOffset) / frameBytes) / rate;
        qInfo("cut at byte %lld (seed %u)", qlonglong(cut), seed);
        QCOMPARE(mix.lengthMismatch(expected), QString());
        verifyPlacement(mix, { { 440, expected, 0 } });
    }
};

QTEST_GUILESS_MAIN(tst_Mixdown)
#include "tst_mixdown.moc"
