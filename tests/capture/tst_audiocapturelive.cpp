#include "audiocapture.h"
#include "blockingwait.h"
#include "captureerror.h"
#include "decodedaudio.h"
#include "hostclock.h"
#include "pulseserver.h"
#include "pulsesource.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <cmath>
#include <sndfile.h>

namespace {

const QString noMicrophoneSentence
    = QStringLiteral("Aucun micro disponible. Vérifiez votre périphérique d’entrée.");

struct Track
{
    int sampleRate = 0;
    int channels = 0;
    std::vector<float> samples; // interleaved
    [[nodiscard]] double seconds() const
    {
        return channels ? double(samples.size()) / channels / sampleRate : 0;
    }
    [[nodiscard]] float peak() const
    {
        float peak = 0;
        for (const float sample : samples) {
            peak = std::max(peak, std::abs(sample));
        }
        return peak;
    }
};

Track readTrack(const QString& path)
{
    SF_INFO info {};
    SNDFILE* file = sf_open(QFile::encodeName(path).constData(), SFM_READ, &info);
    Track track;
    if (!file) {
        return track;
    }
    track.sampleRate = info.samplerate;
    track.channels = info.channels;
    track.samples.resize(std::size_t(info.frames * info.channels));
    track.samples.resize(
        std::size_t(sf_readf_float(file, track.samples.data(), info.frames) * info.channels));
    sf_close(file);
    return track;
}

// Whether a live track has received audio; an idle null sink may take a moment to deliver its
// first block to a new monitor stream.
bool receiving(const QString& track)
{
    return QFileInfo(track).size() > 8192;
}

} // namespace

// Recording for real from a private sound server: known signals are played into its sinks while
// the capture session records the default source and the default sink's monitor.
class tst_AudioCaptureLive : public QObject
{
    Q_OBJECT

    QTemporaryDir m_temp;

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_temp.isValid());
        qputenv("TMPDIR", QFile::encodeName(m_temp.path()));
    }

    void bothSourcesWithSound()
    {
        PulseServer server;
        QVERIFY2(server.isReady(), qPrintable(server.log()));
        server.makeDefault();
        const QString call = server.tone(QStringLiteral("call.wav"), 1.0, 440, 0.5);
        const QString voice = server.tone(QStringLiteral("voice.wav"), 1.0, 1000, 0.5, 44100, 1);

        AudioCapture capture;
        blockingWait(capture.start());
        QTRY_VERIFY_WITH_TIMEOUT(
            receiving(capture.microphone()) && receiving(capture.system()), 5000);
        const auto callPlayer = server.play(QLatin1String(PulseServer::callSink), call);
        const auto voicePlayer = server.play(QLatin1String(PulseServer::microphoneSink), voice);
        QVERIFY(callPlayer->waitForFinished(10000) && callPlayer->exitCode() == 0);
        QVERIFY(voicePlayer->waitForFinished(10000) && voicePlayer->exitCode() == 0);
        QTest::qWait(200);
        const AudioCapture::StopResult result = blockingWait(capture.stop());

        QVERIFY(result.tracks.has_value());
        QVERIFY(!result.help.has_value());
        QVERIFY(QFileInfo(result.mix).size() > 0);
        // Both inputs started within a moment of each other; the earlier one defines time zero.
        const AudioCapture::Tracks& tracks = *result.tracks;
        QCOMPARE(std::min(tracks.microphoneOffset, tracks.systemOffset), 0.0);
        QVERIFY(std::max(tracks.microphoneOffset, tracks.systemOffset) < 0.5);

        // Each track holds its own signal, in its source's own format.
        const Track microphone = readTrack(tracks.microphone);
        const Track system = readTrack(tracks.system);
        QCOMPARE(microphone.sampleRate, 44100);
        QCOMPARE(microphone.channels, 1);
        QCOMPARE(system.sampleRate, 48000);
        QCOMPARE(system.channels, 2);
        QVERIFY(microphone.seconds() >= 1.0);
        QVERIFY(system.seconds() >= 1.0);
        QVERIFY(std::abs(microphone.peak() - 0.5f) < 0.05f);
        QVERIFY(std::abs(system.peak() - 0.5f) < 0.05f);

        // The mix was made while recording, as the tracks mixed after the stop would have it.
        QVERIFY(capture.mixedWhileRecording());
        const QString after = QDir(capture.folder()).filePath(QStringLiteral("after-stop.m4a"));
        AudioCapture::mix(
            tracks.microphone, tracks.system, after, tracks.microphoneOffset, tracks.systemOffset);
        const double difference = differenceDb(Decoded(result.mix), Decoded(after));
        QVERIFY2(difference <= -30, qPrintable(QStringLiteral("%1 dB").arg(difference)));
    }

    void silentCall()
    {
        PulseServer server;
        QVERIFY2(server.isReady(), qPrintable(server.log()));
        server.makeDefault();
        const QString voice = server.tone(QStringLiteral("voice.wav"), 0.5, 1000, 0.5, 44100, 1);

        AudioCapture capture;
        blockingWait(capture.start());
        QTRY_VERIFY_WITH_TIMEOUT(receiving(capture.microphone()), 5000);
        QVERIFY(server.playAndWait(QLatin1String(PulseServer::microphoneSink), voice));
        const AudioCapture::StopResult result = blockingWait(capture.stop());

        QVERIFY(!result.tracks.has_value());
        QVERIFY(result.help.has_value());
        QCOMPARE(result.help->kind(), AudioPermissionHelp::systemAudioSilent);
        QVERIFY(QFileInfo(result.mix).size() > 0);
        QVERIFY(capture.mixedWhileRecording());
        // The call was recorded, as silence, and left out of the mix.
        QVERIFY(readTrack(capture.system()).seconds() > 0.3);
        QCOMPARE(readTrack(capture.system()).peak(), 0.0f);
    }

    void noMicrophone_data()
    {
        QTest::addColumn<QStringList>("setup"); // pactl arguments; empty: no server at all
        QTest::newRow("no server") << QStringList {};
        QTest::newRow("default source is a sink monitor")
            << QStringList { QStringLiteral("set-default-source"),
                   QStringLiteral("%1.monitor").arg(QLatin1String(PulseServer::callSink)) };
    }

    void noMicrophone()
    {
        QFETCH(QStringList, setup);
        PulseServer server;
        QVERIFY2(server.isReady(), qPrintable(server.log()));
        server.makeDefault();
        if (setup.isEmpty()) {
            qputenv("PULSE_SERVER",
                QFile::encodeName(
                    QStringLiteral("unix:") + server.folder() + QStringLiteral("/none")));
        } else {
            QVERIFY(server.control(setup));
        }
        AudioCapture capture;
        QCOMPARE(failureOf(capture.start()), noMicrophoneSentence);
        QVERIFY(!QFileInfo::exists(capture.folder()));
        QCOMPARE(failureOf(capture.stop()), QStringLiteral("Aucun enregistrement en cours."));
    }

    void refusedAccess_data()
    {
        QTest::addColumn<bool>("microphone");
        QTest::addColumn<int>("help");
        QTest::newRow("microphone") << true << int(AudioPermissionHelp::microphone);
        QTest::newRow("system audio") << false << int(AudioPermissionHelp::systemAudio);
    }

    void refusedAccess()
    {
        QFETCH(bool, microphone);
        QFETCH(int, help);
        PulseServer server(PulseServer::Access::cookie);
        QVERIFY2(server.isReady(), qPrintable(server.log()));
        server.makeDefault(false);
        std::optional<AudioPermissionHelp> refused;
        try {
            if (microphone) {
                AudioCapture capture;
                blockingWait(capture.start());
            } else {
                (void)PulseSource::openSystemAudio();
            }
        } catch (const AudioPermissionHelp& error) {
            refused = error;
        }
        QVERIFY(refused.has_value());
        QCOMPARE(int(refused->kind()), help);

        // The same server lets the right cookie in.
        server.makeDefault(true);
        QVERIFY(microphone ? bool(PulseSource::openMicrophone())
                           : bool(PulseSource::openSystemAudio()));
    }

    void systemAudioFailuresCarryTheErrorNumber()
    {
        PulseServer server;
        QVERIFY2(server.isReady(), qPrintable(server.log()));
        server.makeDefault();
        std::unique_ptr<PulseSource> source = PulseSource::openSystemAudio();
        QCOMPARE(source->device(), QByteArray(PulseServer::callSink) + ".monitor");
        QCOMPARE(source->format(), (PcmFormat { 48000, 2, SampleType::Float32, true }));
        server.kill();
        QString message;
        try {
            source->start([](const PcmBuffer&, std::uint64_t) {});
        } catch (const CaptureError& error) {
            message = error.message();
        }
        const QRegularExpression sentence(
            QStringLiteral("^Impossible de démarrer l’audio du système \\(([1-9][0-9]*)\\)\\.$"));
        QVERIFY2(sentence.match(message).hasMatch(), qPrintable(message));
        source->stop();
        source->stop();
    }

    void serverKilledWhileRecording()
    {
        PulseServer server;
        QVERIFY2(server.isReady(), qPrintable(server.log()));
        server.makeDefault();
        const QString call = server.tone(QStringLiteral("call.wav"), 3.0, 440, 0.5);
        const QString voice = server.tone(QStringLiteral("voice.wav"), 3.0, 1000, 0.5, 44100, 1);

        AudioCapture capture;
        const std::uint64_t started = currentHostTime();
        blockingWait(capture.start());
        QTRY_VERIFY_WITH_TIMEOUT(
            receiving(capture.microphone()) && receiving(capture.system()), 5000);
        const auto callPlayer = server.play(QLatin1String(PulseServer::callSink), call);
        const auto voicePlayer = server.play(QLatin1String(PulseServer::microphoneSink), voice);
        QTest::qWait(800);
        server.kill();
        const double untilKill = hostTimeToSeconds(currentHostTime() - started);
        QTest::qWait(500);
        const AudioCapture::StopResult result = blockingWait(capture.stop());

        // What arrived before the server went away is kept and mixed; nothing came after it.
        QVERIFY(result.tracks.has_value());
        QVERIFY(QFileInfo(result.mix).size() > 0);
        for (const QString& track : { capture.microphone(), capture.system() }) {
            const Track recorded = readTrack(track);
            QVERIFY2(recorded.seconds() > 0.5 && recorded.seconds() < untilKill + 0.1,
                qPrintable(QStringLiteral("%1 s of %2 s").arg(recorded.seconds()).arg(untilKill)));
            QVERIFY(recorded.peak() > 0.4f);
        }
    }

    void killedRecordingReadsBack()
    {
        PulseServer server;
        QVERIFY2(server.isReady(), qPrintable(server.log()));
        const QString voice = server.tone(QStringLiteral("voice.wav"), 3.0, 1000, 0.5, 44100, 1);

        QProcess child;
        QProcessEnvironment environment = server.clientEnvironment();
        environment.insert(QStringLiteral("TMPDIR"), m_temp.path());
        child.setProcessEnvironment(environment);
        child.start(QStringLiteral(CAPTURE_CHILD), {});
        QVERIFY(child.waitForReadyRead(10000));
        const QString folder = QString::fromLocal8Bit(child.readLine().trimmed());
        QVERIFY2(QFileInfo(folder).isDir(), qPrintable(folder));
        const QString microphoneTrack = folder + QStringLiteral("/microphone.caf");
        QTRY_VERIFY_WITH_TIMEOUT(receiving(microphoneTrack), 5000);
        const std::uint64_t started = currentHostTime();
        const auto player = server.play(QLatin1String(PulseServer::microphoneSink), voice);
        QTest::qWait(2000);
        child.kill();
        const std::uint64_t killed = currentHostTime();
        QVERIFY(child.waitForFinished(5000));
        player->kill();
        player->waitForFinished(5000);

        const double recordedFor = hostTimeToSeconds(killed - started);
        const Track microphone = readTrack(microphoneTrack);
        const Track system = readTrack(folder + QStringLiteral("/appel.caf"));
        QVERIFY2(microphone.seconds() > recordedFor - 1.0,
            qPrintable(QStringLiteral("%1 of %2 s").arg(microphone.seconds()).arg(recordedFor)));
        QVERIFY(system.seconds() > recordedFor - 1.0);
        QVERIFY(microphone.peak() > 0.4f);
    }
};

QTEST_GUILESS_MAIN(tst_AudioCaptureLive)
#include "tst_audiocapturelive.moc"
