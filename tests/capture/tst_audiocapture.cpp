#include "audiocapture.h"
#include "blockingwait.h"
#include "captureerror.h"
#include "scriptedsource.h"

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>
#include <optional>

namespace {

using Script = ScriptedSource::Script;
using Opener = std::function<std::unique_ptr<AudioSource>()>;

constexpr std::uint64_t base = 1'000'000'000'000; // 1000 s on the host clock

// Half a second of sound (or of silence) starting `delay` seconds after `base`.
Script script(const std::string& name, double delay, float amplitude = 0.5f, int rate = 48000,
    int channels = 2)
{
    Script s;
    s.name = name;
    s.sampleRate = rate;
    s.channels = channels;
    s.chunks = rate / 2 / s.chunkFrames;
    s.firstHostTime = base + std::uint64_t(delay * 1e9);
    s.amplitude = amplitude;
    return s;
}

Opener opening(Script s, const std::shared_ptr<ScriptLog>& log)
{
    return [s, log] {
        return std::make_unique<ScriptedSource>(s, log);
    };
}

template<typename Failure> Opener refusing(Failure failure, const std::shared_ptr<ScriptLog>& log)
{
    return [failure, log]() -> std::unique_ptr<AudioSource> {
        log->note("open failed");
        throw failure;
    };
}

} // namespace

// The capture session's start, stop and decision table, fed by scripted sources on their own
// threads; the track files and the mix are written and encoded for real.
class tst_AudioCapture : public QObject
{
    Q_OBJECT

    QTemporaryDir m_temp;

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_temp.isValid());
        qputenv("TMPDIR", QFile::encodeName(m_temp.path()));
    }

    void decisionTable_data()
    {
        QTest::addColumn<double>("micDelay"); // < 0: the microphone delivers nothing
        QTest::addColumn<double>("callDelay"); // < 0: the call delivers nothing
        QTest::addColumn<float>("callAmplitude");
        QTest::addColumn<bool>("expectTracks");
        QTest::addColumn<double>("micOffset");
        QTest::addColumn<double>("callOffset");
        QTest::addColumn<int>("help"); // -1: none; throws when `expectTracks` is false and no mix

        QTest::newRow("microphone 0.35 s after the call")
            << 0.35 << 0.0 << 0.5f << true << 0.35 << 0.0 << -1;
        QTest::newRow("call 0.2 s after the microphone")
            << 0.0 << 0.2 << 0.5f << true << 0.0 << 0.2 << -1;
        QTest::newRow("faint but audible call") << 0.0 << 0.0 << 1e-4f << true << 0.0 << 0.0 << -1;
        QTest::newRow("silent call") << 0.0 << 0.0 << 0.0f << false << 0.0 << 0.0
                                     << int(AudioPermissionHelp::systemAudioSilent);
        QTest::newRow("call below the signal threshold")
            << 0.0 << 0.0 << 5e-6f << false << 0.0 << 0.0
            << int(AudioPermissionHelp::systemAudioSilent);
        QTest::newRow("no call buffer") << 0.1 << -1.0 << 0.5f << false << 0.0 << 0.0
                                        << int(AudioPermissionHelp::systemAudioSilent);
        QTest::newRow("call only")
            << -1.0 << 0.3 << 0.5f << false << 0.0 << 0.0 << int(AudioPermissionHelp::microphone);
    }

    void decisionTable()
    {
        QFETCH(double, micDelay);
        QFETCH(double, callDelay);
        QFETCH(float, callAmplitude);
        QFETCH(bool, expectTracks);
        QFETCH(double, micOffset);
        QFETCH(double, callOffset);
        QFETCH(int, help);

        auto log = std::make_shared<ScriptLog>();
        Script mic = script("microphone", std::max(micDelay, 0.0), 0.3f, 44100, 1);
        Script call = script("call", std::max(callDelay, 0.0), callAmplitude);
        mic.chunks = micDelay < 0 ? 0 : mic.chunks;
        call.chunks = callDelay < 0 ? 0 : call.chunks;
        AudioCapture capture({ opening(mic, log), opening(call, log) });

        blockingWait(capture.start());
        log->waitFinished(2);
        const AudioCapture::StopResult result = blockingWait(capture.stop());

        QCOMPARE(result.mix, QDir(capture.folder()).filePath(QStringLiteral("reunion.m4a")));
        QVERIFY(QFileInfo(result.mix).size() > 0);
        QCOMPARE(result.tracks.has_value(), expectTracks);
        if (expectTracks) {
            QCOMPARE(result.tracks->microphone, capture.microphone());
            QCOMPARE(result.tracks->system, capture.system());
            QVERIFY(std::abs(result.tracks->microphoneOffset - micOffset) < 1e-6);
            QVERIFY(std::abs(result.tracks->systemOffset - callOffset) < 1e-6);
        }
        QCOMPARE(result.help.has_value(), help >= 0);
        if (help >= 0) {
            QCOMPARE(int(result.help->kind()), help);
        }
        // The tracks stay beside the mix, whatever went into it.
        QCOMPARE(QFileInfo::exists(capture.microphone()), micDelay >= 0);
        QCOMPARE(QFileInfo::exists(capture.system()), callDelay >= 0);
    }

    void nothingUsable_data()
    {
        QTest::addColumn<bool>("silentCall");
        QTest::newRow("no buffer at all") << false;
        QTest::newRow("only a silent call") << true;
    }

    void nothingUsable()
    {
        QFETCH(bool, silentCall);
        auto log = std::make_shared<ScriptLog>();
        Script mic = script("microphone", 0);
        mic.chunks = 0;
        Script call = script("call", 0, 0.0f);
        call.chunks = silentCall ? call.chunks : 0;
        AudioCapture capture({ opening(mic, log), opening(call, log) });

        blockingWait(capture.start());
        log->waitFinished(2);
        QCOMPARE(failureOf(capture.stop()),
            AudioPermissionHelp(AudioPermissionHelp::microphone).message());
        QVERIFY(!QFileInfo::exists(QDir(capture.folder()).filePath(QStringLiteral("reunion.m4a"))));
        QVERIFY(QFileInfo(capture.folder()).isDir());
    }

    void startsTheCallFirstAndStopsEverything()
    {
        auto log = std::make_shared<ScriptLog>();
        {
            AudioCapture capture(
                { opening(script("microphone", 0), log), opening(script("call", 0), log) });
            blockingWait(capture.start());
            const std::vector<std::string> started = log->snapshot();
            QCOMPARE(started, (std::vector<std::string> { "start call", "start microphone" }));
        }
        // Dropping a running capture stops both inputs.
        const std::vector<std::string> events = log->snapshot();
        QCOMPARE(events.size(), 4u);
        QCOMPARE(std::count(events.begin(), events.end(), "stop call"), 1);
        QCOMPARE(std::count(events.begin(), events.end(), "stop microphone"), 1);
    }

    void stopWithoutRecording_data()
    {
        QTest::addColumn<int>("situation");
        QTest::newRow("never started") << 0;
        QTest::newRow("second stop") << 1;
        QTest::newRow("after a failed start") << 2;
    }

    void stopWithoutRecording()
    {
        QFETCH(int, situation);
        auto log = std::make_shared<ScriptLog>();
        Script call = script("call", 0);
        call.failToStart = situation == 2;
        AudioCapture capture({ opening(script("microphone", 0.1), log), opening(call, log) });
        if (situation == 1) {
            blockingWait(capture.start());
            log->waitFinished(2);
            QVERIFY(blockingWait(capture.stop()).tracks.has_value());
        } else if (situation == 2) {
            QVERIFY(!failureOf(capture.start()).isEmpty());
        }
        QCOMPARE(failureOf(capture.stop()), QStringLiteral("Aucun enregistrement en cours."));
    }

    void failedStartsCleanUp_data()
    {
        QTest::addColumn<int>("failing"); // 0: microphone opener, 1: call opener, 2: call start
        QTest::addColumn<bool>("folderCreated");
        QTest::addColumn<QStringList>("events");
        QTest::newRow("microphone refused")
            << 0 << false << QStringList { QStringLiteral("open failed") };
        QTest::newRow("call refused")
            << 1 << true
            << QStringList { QStringLiteral("open failed"), QStringLiteral("stop microphone") };
        QTest::newRow("call fails to start")
            << 2 << true
            << QStringList { QStringLiteral("start call"), QStringLiteral("stop microphone"),
                   QStringLiteral("stop call") };
    }

    void failedStartsCleanUp()
    {
        QFETCH(int, failing);
        QFETCH(bool, folderCreated);
        QFETCH(QStringList, events);
        auto log = std::make_shared<ScriptLog>();
        Script call = script("call", 0);
        call.failToStart = failing == 2;
        AudioCapture capture(
            { failing == 0 ? refusing(AudioPermissionHelp(AudioPermissionHelp::microphone), log)
                           : opening(script("microphone", 0), log),
                failing == 1 ? refusing(AudioPermissionHelp(AudioPermissionHelp::systemAudio), log)
                             : opening(call, log) });

        bool threw = false;
        try {
            blockingWait(capture.start());
        } catch (...) {
            threw = true;
        }
        QVERIFY(threw);
        QCOMPARE(QFileInfo(capture.folder()).isDir(), folderCreated);
        QStringList seen;
        for (const std::string& event : log->snapshot()) {
            seen << QString::fromStdString(event);
        }
        QCOMPARE(seen, events);
        QCOMPARE(failureOf(capture.stop()), QStringLiteral("Aucun enregistrement en cours."));
    }

    void writeFailureComesOutOfStop()
    {
        auto log = std::make_shared<ScriptLog>();
        AudioCapture capture(
            { opening(script("microphone", 0), log), opening(script("call", 0), log) });
        // A directory where the microphone track should go makes every write to it fail.
        QVERIFY(QDir().mkpath(capture.microphone()));
        blockingWait(capture.start());
        log->waitFinished(2);
        bool platformError = false;
        try {
            blockingWait(capture.stop());
        } catch (const PlatformError& error) {
            platformError = !error.message().isEmpty();
        }
        QVERIFY(platformError);
        QVERIFY(QFileInfo(capture.system()).size() > 0);
        QCOMPARE(failureOf(capture.stop()), QStringLiteral("Aucun enregistrement en cours."));
    }
};

QTEST_GUILESS_MAIN(tst_AudioCapture)
#include "tst_audiocapture.moc"
