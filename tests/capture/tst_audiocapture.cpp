#include "audiocapture.h"
#include "blockingwait.h"
#include "captureerror.h"
#include "privatetmpdir.h"
#include "recordedaudio.h"
#include "scriptedsource.h"
#include "smalldisk.h"
#include "track/recordingrecovery.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <fcntl.h>
#include <mutex>
#include <thread>
#include <tuple>
#include <unistd.h>

namespace {

using Script = ScriptedSource::Script;

const QString notRecording = QStringLiteral("Aucun enregistrement en cours.");

// An opener that finds the access to its input refused.
std::function<std::unique_ptr<AudioSource>()> refusing(
    AudioPermissionHelp::Kind kind, const std::shared_ptr<ScriptLog>& log)
{
    return [kind, log]() -> std::unique_ptr<AudioSource> {
        log->note("open failed");
        throw AudioPermissionHelp(kind);
    };
}

// Half a second of the script's tone, for both inputs.
AudioCapture::Sources halfSeconds(const std::shared_ptr<ScriptLog>& log, double microphoneDelay = 0)
{
    return scriptedSources(scriptOf("microphone", microphoneDelay), scriptOf("call", 0), log);
}

// The descriptor through which this process writes `path`, or -1.
int writingDescriptor(const QString& path)
{
    for (int descriptor = 0; descriptor < 4096; ++descriptor) {
        const int flags = ::fcntl(descriptor, F_GETFL);
        if (flags >= 0 && (flags & O_ACCMODE) != O_RDONLY
            && QFile::symLinkTarget(QStringLiteral("/proc/self/fd/%1").arg(descriptor)) == path) {
            return descriptor;
        }
    }
    return -1;
}

// A microphone that fails to start once the call has begun writing its track in `folder`.
class FailingOnceTheCallRuns final : public AudioSource
{
public:
    explicit FailingOnceTheCallRuns(const QString& folder)
        : m_folder(folder)
    { }
    void start(Handler) override
    {
        for (int wait = 0; wait < 5000 && !TrackStarts::read(m_folder, QStringLiteral("appel.caf"));
             ++wait) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        throw PlatformError(QStringLiteral("Micro débranché."));
    }
    void stop() noexcept override { }

private:
    const QString& m_folder;
};

} // namespace

// The capture session's start, stop and failures, fed by scripted sources on their own threads;
// the track files and the mix are written and encoded for real (what the stop keeps: tst_livemix).
class tst_AudioCapture : public QObject
{
    Q_OBJECT

    PrivateTmpDir m_temp;

private Q_SLOTS:
    void startsTheCallFirstAndStopsEverything()
    {
        auto log = std::make_shared<ScriptLog>();
        {
            AudioCapture capture(halfSeconds(log));
            blockingWait(capture.start());
            QCOMPARE(log->snapshot(), QStringLiteral("start call, start microphone"));
        }
        // Dropping a running capture stops both inputs, once each, in either order.
        const QString events = log->snapshot();
        QVERIFY2(
            events == QStringLiteral("start call, start microphone, stop call, stop microphone")
                || events
                    == QStringLiteral("start call, start microphone, stop microphone, stop call"),
            qPrintable(events));
    }

    void failedStartsCleanUp_data()
    {
        QTest::addColumn<int>("failing"); // 0: microphone opener, 1: call opener, 2: call start
        QTest::addColumn<bool>("folderCreated");
        QTest::addColumn<QString>("events");
        QTest::newRow("microphone refused") << 0 << false << QStringLiteral("open failed");
        QTest::newRow("call refused")
            << 1 << true << QStringLiteral("open failed, stop microphone");
        QTest::newRow("call fails to start")
            << 2 << true << QStringLiteral("start call, stop microphone, stop call");
    }

    void failedStartsCleanUp()
    {
        QFETCH(int, failing);
        QFETCH(bool, folderCreated);
        QFETCH(QString, events);
        auto log = std::make_shared<ScriptLog>();
        Script call = scriptOf("call", 0);
        call.failToStart = failing == 2;
        AudioCapture::Sources sources = scriptedSources(scriptOf("microphone", 0), call, log);
        if (failing == 0) {
            sources.microphone = refusing(AudioPermissionHelp::microphone, log);
        } else if (failing == 1) {
            sources.systemAudio = refusing(AudioPermissionHelp::systemAudio, log);
        }
        AudioCapture capture(sources);

        QVERIFY(!failureOf(capture.start()).isEmpty());
        QCOMPARE(QFileInfo(capture.folder()).isDir(), folderCreated);
        QCOMPARE(log->snapshot(), events);
        QCOMPARE(failureOf(capture.stop()), notRecording);
    }

    // A start that fails once the call delivers leaves nothing that the next launch would take for
    // a crashed meeting: the meeting that did crash is the one recovered.
    void aFailedStartLeavesNothingToRecover()
    {
        QTemporaryDir home;
        const QStringList roots { madeUnder(
            home.path(), [] { return RecordingLocation::root(); }) };
        QString crashed;
        {
            auto log = std::make_shared<ScriptLog>();
            AudioCapture capture
                = madeUnder(home.path(), [&] { return AudioCapture(halfSeconds(log)); });
            blockingWait(capture.start());
            log->waitFinished(2);
            crashed = capture.folder();
        } // dropped without a stop, as by a crash
        {
            QString folder;
            AudioCapture::Sources sources = halfSeconds(std::make_shared<ScriptLog>());
            sources.microphone = [&folder] {
                return std::make_unique<FailingOnceTheCallRuns>(folder);
            };
            AudioCapture capture = madeUnder(home.path(), [&] { return AudioCapture(sources); });
            folder = capture.folder();
            QCOMPARE(failureOf(capture.start()), QStringLiteral("Micro débranché."));
        }
        const std::optional<RecordingRecovery::Recovered> recovered
            = RecordingRecovery::recoverLatest(roots);
        QVERIFY(recovered);
        QCOMPARE(recovered->folder, crashed);
    }

    // A small disk fills up while both tracks are written: a write really fails with ENOSPC.
    // Both tracks end at the same instant, the recording goes on, and the stop mixes what reached
    // the disk into the space held back for it.
    void aFullDiskKeepsWhatWasWritten()
    {
        SmallDisk disk(8);
        if (!disk.isMounted()) {
            QSKIP("mounting a small disk needs root");
        }
        auto log = std::make_shared<ScriptLog>();
        // Sixteen seconds each, far more than the 8 MiB can hold, played side by side ten times
        // faster than real time. The disk fills after the echo canceller's learning hold, which
        // keeps the first seconds of the microphone back, has ended.
        Script mic = scriptOf("microphone", 0.1, 16, 44100, 1);
        Script call = scriptOf("call", 0, 16);
        mic.amplitude = 0.3f;
        mic.pace = std::chrono::microseconds(1024 * 100'000 / mic.sampleRate);
        call.pace = std::chrono::microseconds(1024 * 100'000 / call.sampleRate);
        AudioCapture capture
            = madeUnder(disk.path(), [&] { return AudioCapture(scriptedSources(mic, call, log)); });
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
        const double microphone = RecordedAudio::fromTrack(capture.microphone()).seconds();
        const double system = RecordedAudio::fromTrack(capture.system()).seconds();
        // Cut at the same host time: the call began 0.1 s earlier, so it is 0.1 s longer.
        QVERIFY2(microphone > 3.0 && microphone < 15.0, qPrintable(QString::number(microphone)));
        QVERIFY2(std::abs(system - microphone - 0.1) < 0.001,
            qPrintable(QStringLiteral("%1 / %2").arg(system).arg(microphone)));
        QCOMPARE(*result.interruption,
            QStringLiteral("Disque plein : l’enregistrement s’est arrêté à %1 s.")
                .arg(int(system)));

        // The mix holds the tone all along what was kept, and nothing after it.
        const RecordedAudio mix = RecordedAudio::decoded(result.mix);
        QVERIFY2(std::abs(mix.seconds() - system) < 0.05,
            qPrintable(QStringLiteral("%1 / %2").arg(mix.seconds()).arg(system)));
        for (double from = 0.2; from + 0.2 < system; from += 0.5) {
            QVERIFY2(mix.level(440, from, from + 0.1) > 0.2,
                qPrintable(
                    QStringLiteral("at %1 s: %2").arg(from).arg(mix.level(440, from, from + 0.1))));
        }
    }

    // Two devices, for ten minutes, their times reported with a few milliseconds of jitter: a
    // click made on both at the same host times (the call's half a period later, so that the
    // canceller leaves the microphone's alone) lines up in the tracks, within the drift of the
    // seconds it takes to measure the rates at first, and the live mix has each where its track
    // has it. Devices on the host's clock pass untouched: the jitter is no reason to resample.
    void inputsFollowTheHostClock_data()
    {
        QTest::addColumn<double>("drift"); // ppm, the microphone's; the call's the opposite
        QTest::newRow("on crystals 600 ppm apart") << 300.0;
        QTest::newRow("on the host's clock") << 0.0;
    }

    void inputsFollowTheHostClock()
    {
        QFETCH(double, drift);
        auto log = std::make_shared<ScriptLog>();
        Script mic = scriptOf("microphone", 0.2, 600, 16000, 1);
        Script call = scriptOf("call", 0, 600, 16000, 1);
        for (auto [script, ppm, click] :
            { std::tuple { &mic, drift, 0.8 }, std::tuple { &call, -drift, 11.0 } }) {
            script->amplitude = 0;
            script->drift = ppm;
            script->timeJitter = 0.004;
            script->clickEvery = 20;
            script->clickAt = click;
            script->lockstep = true;
            // Fifteen times real time: a sanitizer build's echo canceller keeps up, as it does
            // at real time, rather than falling seconds behind a source played flat out.
            script->pace = std::chrono::microseconds(
                std::int64_t(double(script->chunkFrames) * 1e6 / script->sampleRate / 15));
        }
        LiveMix::Settings live;
        live.waitWhenFull = true; // the sources play far faster than real time
        AudioCapture capture(scriptedSources(mic, call, log), live);

        const AudioCapture::StopResult result = recordToTheEnd(capture, *log);

        QVERIFY(result.tracks.has_value() && capture.mixedWhileRecording());
        QVERIFY(result.losses.empty());
        const std::vector<double> micClicks
            = RecordedAudio::fromTrack(capture.microphone()).clicks();
        const std::vector<double> callClicks = RecordedAudio::fromTrack(capture.system()).clicks();
        const std::vector<double> mixClicks = RecordedAudio::decoded(result.mix).clicks();
        QCOMPARE(micClicks.size(), std::size_t(30));
        QCOMPARE(callClicks.size(), std::size_t(30));
        QCOMPARE(mixClicks.size(), std::size_t(60));
        for (const auto& [click, tolerance] :
            { std::pair { std::size_t(0), 0.008 }, std::pair { std::size_t(29), 0.002 } }) {
            const double micAt = micClicks[click] + result.tracks->microphoneOffset;
            const double callAt = callClicks[click] + result.tracks->systemOffset;
            QVERIFY2(std::abs(callAt - micAt - 10) < tolerance
                    && std::abs(mixClicks[2 * click] - micAt) < 0.003
                    && std::abs(mixClicks[2 * click + 1] - callAt) < 0.003,
                qPrintable(QStringLiteral("click %1: microphone %2 s, call %3 s, mix %4 s, %5 s")
                               .arg(click)
                               .arg(micAt)
                               .arg(callAt)
                               .arg(mixClicks[2 * click])
                               .arg(mixClicks[2 * click + 1])));
        }
        if (drift == 0) {
            const std::vector<float> samples = RecordedAudio::fromTrack(capture.microphone()).mono;
            QVERIFY(std::all_of(samples.begin(), samples.end(),
                [](float sample) { return sample == 0.0f || sample == 0.9f; }));
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
        auto log = std::make_shared<ScriptLog>();
        AudioCapture capture
            = madeUnder(disk.path(), [&] { return AudioCapture(halfSeconds(log)); });
        QCOMPARE(failureOf(capture.start()),
            QStringLiteral("Disque plein : libérez de l’espace, puis relancez l’enregistrement."));
        QCOMPARE(failureOf(capture.stop()), notRecording);
    }

    // A track that cannot be written at all stops the other one too; with nothing kept, the stop
    // says why, in French.
    void anUnwritableTrackStopsBoth()
    {
        auto log = std::make_shared<ScriptLog>();
        AudioCapture capture(halfSeconds(log));
        // A directory where the microphone track should go makes every write to it fail.
        QVERIFY(QDir().mkpath(capture.microphone()));
        blockingWait(capture.start());
        log->waitFinished(2);
        QCOMPARE(failureOf(capture.stop()),
            QStringLiteral("L’enregistrement ne peut plus être écrit sur le disque : un dossier "
                           "porte déjà ce nom. Arrêtez-le pour conserver ce qui a déjà été "
                           "enregistré."));
        QVERIFY(!QFileInfo::exists(QDir(capture.folder()).filePath(QStringLiteral("reunion.m4a"))));
        QCOMPARE(failureOf(capture.stop()), notRecording);
    }

    // A track whose close fails keeps what it took; the stop keeps the mix made while recording
    // and says what happened.
    void aTrackThatFailsToCloseKeepsTheMix()
    {
        auto log = std::make_shared<ScriptLog>();
        AudioCapture capture(halfSeconds(log));
        blockingWait(capture.start());
        log->waitFinished(2);
        // Closed behind the writer's back: its last writes and its own close fail.
        const int descriptor = writingDescriptor(capture.system());
        QVERIFY(descriptor >= 0);
        QCOMPARE(::close(descriptor), 0);

        const AudioCapture::StopResult result = blockingWait(capture.stop());
        QVERIFY(capture.mixedWhileRecording());
        QVERIFY(result.tracks);
        QCOMPARE(result.interruption.value_or(QString()),
            QStringLiteral("La fermeture de la piste de l’appel a échoué : erreur du système (%1). "
                           "L’audio enregistré est conservé.")
                .arg(EBADF));
        const double recorded = 23 * 1024 / 48000.0;
        QCOMPARE(RecordedAudio::fromTrack(capture.system()).seconds(), recorded);
        QCOMPARE(RecordedAudio::decoded(result.mix).lengthMismatch(recorded), QString());
    }

    // A $TMPDIR held in memory would lose the recording with the power: the folder on disk is
    // used instead.
    void recordingsStayOnADisk_data()
    {
        QTest::addColumn<SmallDisk::Kind>("kind");
        QTest::newRow("$TMPDIR on a disk") << SmallDisk::Kind::disk;
        QTest::newRow("$TMPDIR in memory") << SmallDisk::Kind::memory;
    }

    void recordingsStayOnADisk()
    {
        QFETCH(SmallDisk::Kind, kind);
        SmallDisk disk(1, kind);
        if (!disk.isMounted()) {
            QSKIP("mounting a file system needs root");
        }
        const QString base
            = kind == SmallDisk::Kind::disk ? disk.path() : QStringLiteral("/var/tmp");
        QCOMPARE(madeUnder(disk.path(), [] { return RecordingLocation::root(); }),
            QDir(base).filePath(QStringLiteral("parlevox-recordings-%1").arg(getuid())));
    }

    // Each recording is a folder of its own, named by an upper-case UUID, in this user's private
    // folder under $TMPDIR; nobody else can read the folders or the files. A stop before the start
    // or after the stop has nothing to stop.
    void recordingsArePrivate()
    {
        auto log = std::make_shared<ScriptLog>();
        AudioCapture capture(halfSeconds(log, 0.1));
        const QFileInfo folder(capture.folder());
        QCOMPARE(folder.absolutePath(),
            QDir(m_temp.path()).filePath(QStringLiteral("parlevox-recordings-%1").arg(getuid())));
        QVERIFY(QRegularExpression(QStringLiteral("^[0-9A-F]{8}(-[0-9A-F]{4}){3}-[0-9A-F]{12}$"))
                    .match(folder.fileName())
                    .hasMatch());
        QCOMPARE(failureOf(capture.stop()), notRecording);
        const AudioCapture::StopResult result = recordToTheEnd(capture, *log);
        QVERIFY(result.tracks.has_value());
        QCOMPARE(failureOf(capture.stop()), notRecording);
        for (const QString& path : { folder.absolutePath(), capture.folder(), capture.microphone(),
                 capture.system(), result.mix }) {
            QCOMPARE(QFileInfo(path).permissions() & 0x0077, QFileDevice::Permissions());
        }
    }
};

QTEST_GUILESS_MAIN(tst_AudioCapture)
#include "tst_audiocapture.moc"
