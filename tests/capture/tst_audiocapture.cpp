#include "audiocapture.h"
#include "blockingwait.h"
#include "captureerror.h"
#include "decodedaudio.h"
#include "scriptedsource.h"
#include "smalldisk.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <mutex>
#include <optional>
#include <sndfile.h>
#include <unistd.h>

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

struct Track
{
    int sampleRate = 0;
    sf_count_t frames = 0;
    [[nodiscard]] double seconds() const { return sampleRate ? double(frames) / sampleRate : 0; }
};

Track readTrack(const QString& path)
{
    SF_INFO info {};
    SNDFILE* file = sf_open(QFile::encodeName(path).constData(), SFM_READ, &info);
    if (file) {
        sf_close(file);
    }
    return { info.samplerate, file ? info.frames : 0 };
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

    // A small disk fills up while both tracks are written: a write really fails with ENOSPC.
    // Both tracks end at the same instant, the recording goes on, and the stop mixes what reached
    // the disk into the space held back for it.
    void aFullDiskKeepsWhatWasWritten()
    {
        SmallDisk disk(4);
        if (!disk.isMounted()) {
            QSKIP("mounting a tmpfs needs root");
        }
        const QByteArray temporary = qgetenv("TMPDIR");
        qputenv("TMPDIR", QFile::encodeName(disk.path()));
        auto log = std::make_shared<ScriptLog>();
        // Eight seconds each, far more than the 4 MiB can hold, played side by side ten times
        // faster than real time.
        Script mic = script("microphone", 0.1, 0.3f, 44100, 1);
        Script call = script("call", 0);
        mic.chunks *= 16;
        call.chunks *= 16;
        mic.pace = std::chrono::microseconds(1024 * 100'000 / mic.sampleRate);
        call.pace = std::chrono::microseconds(1024 * 100'000 / call.sampleRate);
        AudioCapture capture({ opening(mic, log), opening(call, log) });
        qputenv("TMPDIR", temporary);
        QStringList interruptions;
        std::mutex told;
        capture.setInterruptionHandler([&](const QString& sentence) {
            const std::lock_guard lock(told);
            interruptions << sentence;
        });

        blockingWait(capture.start());
        log->waitFinished(2);
        QCOMPARE(interruptions,
            QStringList { QStringLiteral("Disque plein : l’enregistrement est interrompu. "
                                         "Arrêtez-le pour conserver ce qui a déjà été "
                                         "enregistré.") });
        const AudioCapture::StopResult result = blockingWait(capture.stop());

        QVERIFY(result.tracks.has_value());
        QVERIFY(!QFileInfo::exists(QDir(capture.folder()).filePath(QStringLiteral(".reserve"))));
        const Track microphone = readTrack(capture.microphone());
        const Track system = readTrack(capture.system());
        // Cut at the same host time: the call began 0.1 s earlier, so it is 0.1 s longer.
        QVERIFY2(microphone.seconds() > 1.0 && microphone.seconds() < 7.0,
            qPrintable(QString::number(microphone.seconds())));
        QVERIFY2(std::abs(system.seconds() - microphone.seconds() - 0.1) < 0.001,
            qPrintable(QStringLiteral("%1 / %2").arg(system.seconds()).arg(microphone.seconds())));
        QCOMPARE(*result.interruption,
            QStringLiteral("Disque plein : l’enregistrement s’est arrêté à %1 s.")
                .arg(int(system.seconds())));

        // The mix holds the tone all along what was kept, and nothing after it.
        const DecodedAudio mix(result.mix);
        QVERIFY2(std::abs(mix.seconds() - system.seconds()) < 0.05,
            qPrintable(QStringLiteral("%1 / %2").arg(mix.seconds()).arg(system.seconds())));
        for (double from = 0.2; from + 0.2 < system.seconds(); from += 0.5) {
            QVERIFY2(mix.level(440, from, from + 0.1) > 0.2,
                qPrintable(
                    QStringLiteral("at %1 s: %2").arg(from).arg(mix.level(440, from, from + 0.1))));
        }
    }

    // A disk too full for even a short mix refuses the recording before it begins.
    void aFullDiskRefusesToStart()
    {
        SmallDisk disk(1);
        if (!disk.isMounted()) {
            QSKIP("mounting a tmpfs needs root");
        }
        QFile filler(disk.path() + QStringLiteral("/filler"));
        QVERIFY(filler.open(QIODevice::WriteOnly));
        while (filler.write(QByteArray(64 * 1024, '\0')) > 0 && filler.flush()) { }
        const QByteArray temporary = qgetenv("TMPDIR");
        qputenv("TMPDIR", QFile::encodeName(disk.path()));
        auto log = std::make_shared<ScriptLog>();
        AudioCapture capture(
            { opening(script("microphone", 0), log), opening(script("call", 0), log) });
        qputenv("TMPDIR", temporary);
        QCOMPARE(failureOf(capture.start()),
            QStringLiteral("Disque plein : libérez de l’espace, puis relancez l’enregistrement."));
        QCOMPARE(failureOf(capture.stop()), QStringLiteral("Aucun enregistrement en cours."));
    }

    // A track that cannot be written at all stops the other one too; with nothing kept, the stop
    // says why, in French.
    void anUnwritableTrackStopsBoth()
    {
        auto log = std::make_shared<ScriptLog>();
        AudioCapture capture(
            { opening(script("microphone", 0), log), opening(script("call", 0), log) });
        // A directory where the microphone track should go makes every write to it fail.
        QVERIFY(QDir().mkpath(capture.microphone()));
        blockingWait(capture.start());
        log->waitFinished(2);
        const QString sentence = QStringLiteral(
            "L’enregistrement ne peut plus être écrit sur le disque : un dossier porte déjà ce "
            "nom. Arrêtez-le pour conserver ce qui a déjà été enregistré.");
        QCOMPARE(failureOf(capture.stop()), sentence);
        QVERIFY(!QFileInfo::exists(QDir(capture.folder()).filePath(QStringLiteral("reunion.m4a"))));
        QCOMPARE(failureOf(capture.stop()), QStringLiteral("Aucun enregistrement en cours."));
    }

    // Each recording is a folder of its own, named by an upper-case UUID, in this user's private
    // folder under $TMPDIR; nobody else can read the folders or the files.
    void recordingsArePrivate()
    {
        auto log = std::make_shared<ScriptLog>();
        AudioCapture capture(
            { opening(script("microphone", 0), log), opening(script("call", 0), log) });
        const QFileInfo folder(capture.folder());
        QCOMPARE(folder.absolutePath(),
            QDir(m_temp.path()).filePath(QStringLiteral("parlevox-recordings-%1").arg(getuid())));
        QVERIFY(QRegularExpression(QStringLiteral("^[0-9A-F]{8}(-[0-9A-F]{4}){3}-[0-9A-F]{12}$"))
                    .match(folder.fileName())
                    .hasMatch());
        blockingWait(capture.start());
        log->waitFinished(2);
        const AudioCapture::StopResult result = blockingWait(capture.stop());
        for (const QString& path : { folder.absolutePath(), capture.folder() }) {
            QCOMPARE(QFileInfo(path).permissions() & 0x0077, QFileDevice::Permissions());
        }
        for (const QString& path : { capture.microphone(), capture.system(), result.mix }) {
            QCOMPARE(QFileInfo(path).permissions() & 0x0077, QFileDevice::Permissions());
        }
    }
};

QTEST_GUILESS_MAIN(tst_AudioCapture)
#include "tst_audiocapture.moc"
