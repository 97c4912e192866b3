#include "livecapture.h"
#include "privatetmpdir.h"
#include "scriptedsource.h"

#include <QDir>
#include <QFileInfo>
#include <QTest>

namespace {

using Script = ScriptedSource::Script;
using namespace std::chrono_literals;

// Noise over a tone, so that a misplaced input cannot line up with itself by chance.
Script script(const std::string& name, double delay, double seconds, int rate, int channels)
{
    Script s = scriptOf(name, delay, seconds, rate, channels);
    s.amplitude = 0.25f;
    s.noisy = true;
    return s;
}

double trackSeconds(const QString& path)
{
    return RecordedAudio::fromTrack(path).seconds();
}

// What the stop leaves when the tracks are mixed after it, for the same result.
QString mixAfterTheStop(const AudioCapture& capture, const AudioCapture::StopResult& result)
{
    const QString reference = QDir(capture.folder()).filePath(QStringLiteral("after-stop.m4a"));
    if (result.tracks) {
        AudioCapture::mix(result.tracks->microphone, result.tracks->system, reference,
            result.tracks->microphoneOffset, result.tracks->systemOffset);
    } else {
        const bool microphoneAlone = result.help->kind() == AudioPermissionHelp::systemAudioSilent;
        AudioCapture::exportAudio(
            { { microphoneAlone ? capture.microphone() : capture.system(), 0 } }, reference);
    }
    return reference;
}

// The hidden audio files of a recording folder (its bookkeeping files left out).
QStringList hiddenFiles(const QString& folder)
{
    return QDir(folder).entryList({ QStringLiteral(".*.m4a*") }, QDir::Files | QDir::Hidden);
}

} // namespace

// What the stop keeps, and the mix made while recording against the one made from the tracks after
// the stop, both encoded and decoded for real; the fall-back to the latter when it cannot keep up.
class tst_LiveMix : public QObject
{
    Q_OBJECT

    PrivateTmpDir m_temp;

private Q_SLOTS:
    // What the stop keeps: the input that starts first defines time zero; a call without sound
    // is left out with the help to check it, and without a microphone only the call is kept. What
    // is mixed was mixed while recording, as the tracks mixed after the stop would have it.
    void stopKeepsWhatWasHeard_data()
    {
        QTest::addColumn<double>("micDelay"); // < 0: the microphone delivers nothing
        QTest::addColumn<double>("callDelay"); // < 0: the call delivers nothing
        QTest::addColumn<float>("callAmplitude");
        QTest::addColumn<int>("callSilentChunks"); // -1: silent throughout
        QTest::addColumn<bool>("mixed"); // otherwise the stop throws the help
        QTest::addColumn<int>("help"); // -1: none, both tracks in the mix

        const int silent = int(AudioPermissionHelp::systemAudioSilent);
        const int microphone = int(AudioPermissionHelp::microphone);
        QTest::newRow("microphone 0.35 s after the call")
            << 0.35 << 0.0 << 0.25f << 0 << true << -1;
        QTest::newRow("call 0.2 s after the microphone") << 0.0 << 0.2 << 0.25f << 0 << true << -1;
        QTest::newRow("call silent for its first second")
            << 0.35 << 0.0 << 0.25f << 47 << true << -1;
        QTest::newRow("faint but audible call") << 0.0 << 0.0 << 1e-4f << 0 << true << -1;
        QTest::newRow("call below the signal threshold")
            << 0.0 << 0.0 << 5e-6f << 0 << true << silent;
        QTest::newRow("silent call started first") << 0.35 << 0.0 << 0.25f << -1 << true << silent;
        QTest::newRow("silent call started last") << 0.0 << 0.2 << 0.25f << -1 << true << silent;
        QTest::newRow("no call buffer") << 0.1 << -1.0 << 0.25f << 0 << true << silent;
        QTest::newRow("call only") << -1.0 << 0.3 << 0.25f << 0 << true << microphone;
        QTest::newRow("no buffer at all") << -1.0 << -1.0 << 0.25f << 0 << false << microphone;
        QTest::newRow("only a silent call") << -1.0 << 0.0 << 0.25f << -1 << false << microphone;
    }

    void stopKeepsWhatWasHeard()
    {
        QFETCH(double, micDelay);
        QFETCH(double, callDelay);
        QFETCH(float, callAmplitude);
        QFETCH(int, callSilentChunks);
        QFETCH(bool, mixed);
        QFETCH(int, help);
        auto log = std::make_shared<ScriptLog>();
        Script mic = script("microphone", std::max(micDelay, 0.0), 2.5, 44100, 1);
        mic.chunks = micDelay < 0 ? 0 : mic.chunks;
        Script call = script("call", std::max(callDelay, 0.0), 3, 48000, 2);
        call.amplitude = callAmplitude;
        call.chunks = callDelay < 0 ? 0 : call.chunks;
        call.silentChunks = callSilentChunks < 0 ? call.chunks : callSilentChunks;
        AudioCapture capture(scriptedSources(mic, call, log));
        const QString mix = QDir(capture.folder()).filePath(QStringLiteral("reunion.m4a"));
        const auto tracksStay = [&] {
            QCOMPARE(QFileInfo::exists(capture.microphone()), micDelay >= 0);
            QCOMPARE(QFileInfo::exists(capture.system()), callDelay >= 0);
        };

        blockingWait(capture.start());
        log->waitFinished(2);
        if (!mixed) {
            QCOMPARE(failureOf(capture.stop()),
                AudioPermissionHelp(AudioPermissionHelp::Kind(help)).message());
            QVERIFY(!QFileInfo::exists(mix));
            QVERIFY(QFileInfo(capture.folder()).isDir());
            tracksStay();
            return;
        }
        const AudioCapture::StopResult result = blockingWait(capture.stop());
        tracksStay();
        const bool bothKept = help < 0;
        QCOMPARE(result.mix, mix);
        QCOMPARE(result.tracks.has_value(), bothKept);
        QCOMPARE(result.help.has_value(), !bothKept);
        if (bothKept) {
            const double zero = std::min(micDelay, callDelay);
            QCOMPARE(result.tracks->microphone, capture.microphone());
            QCOMPARE(result.tracks->system, capture.system());
            QVERIFY(std::abs(result.tracks->microphoneOffset - (micDelay - zero)) < 1e-6);
            QVERIFY(std::abs(result.tracks->systemOffset - (callDelay - zero)) < 1e-6);
        } else {
            QCOMPARE(int(result.help->kind()), help);
        }

        QVERIFY(capture.mixedWhileRecording());
        const RecordedAudio live = RecordedAudio::decoded(result.mix);
        const RecordedAudio reference = RecordedAudio::decoded(mixAfterTheStop(capture, result));
        QCOMPARE(live.lengthMismatch(reference.duration), QString());
        const double difference = differenceDb(live, reference);
        if (difference > -30) {
            // Cut at another place into encoder frames, noise encodes differently: one track alone
            // must then be as close to its own samples as the mix after the stop is.
            QVERIFY2(!bothKept, qPrintable(QStringLiteral("%1 dB").arg(difference)));
            const RecordedAudio exact
                = RecordedAudio::decoded(micDelay < 0 ? capture.system() : capture.microphone());
            const double liveNoise = differenceDb(live, exact);
            const double referenceNoise = differenceDb(reference, exact);
            QVERIFY2(liveNoise <= referenceNoise + 1,
                qPrintable(
                    QStringLiteral("%1 dB against %2 dB").arg(liveNoise).arg(referenceNoise)));
        }

        // The copies for the transcription exist exactly when it will ask for them.
        for (const QString& track : { capture.microphone(), capture.system() }) {
            const QString copy = AudioCapture::uploadCopy(track);
            QCOMPARE(QFileInfo::exists(copy), bothKept);
            if (bothKept) {
                QCOMPARE(
                    RecordedAudio::decoded(copy).lengthMismatch(trackSeconds(track)), QString());
            }
        }
        QCOMPARE(hiddenFiles(capture.folder()).size(), bothKept ? 2 : 0);
    }

    // With writers that keep a jump in host time as silence, the mix keeps it too; also when the
    // call stops delivering for longer than the mix waits for it while the microphone goes on.
    // The live feed has the same timeline, each input on its own channel.
    void keepsAGapAsSilence_data()
    {
        QTest::addColumn<double>("gap");
        QTest::addColumn<bool>("stalled");
        QTest::addColumn<int>("callRate");
        QTest::newRow("a jump in host time") << 0.5 << false << 48000;
        QTest::newRow("the call stalls for 10 s") << 10.0 << true << 44100;
    }

    void keepsAGapAsSilence()
    {
        QFETCH(double, gap);
        QFETCH(bool, stalled);
        QFETCH(int, callRate);
        auto log = std::make_shared<ScriptLog>();
        Script mic = script("microphone", 0, stalled ? 2 + gap : 2, 44100, 1);
        Script call = script("call", 0, 2, callRate, 2);
        mic.noisy = call.noisy = false;
        call.frequency = 660;
        call.gapAfterChunks = 47;
        call.gapSeconds = gap;
        const double stall = 47 * 1024.0 / callRate;
        if (stalled) {
            mic.lockstep = call.lockstep = true;
            mic.pace = call.pace = 2ms; // ten times as fast as live
        }
        LiveMix::Settings settings;
        settings.gapTolerance = 0.1;
        CollectedFeed fed;
        AudioCapture capture(scriptedSources(mic, call, log), settings);
        capture.setLiveConsumer(&fed);

        const AudioCapture::StopResult result = recordToTheEnd(capture, *log);

        QVERIFY(capture.mixedWhileRecording());
        const RecordedAudio live = RecordedAudio::decoded(result.mix);
        const double callEnd = double(call.chunks * 1024) / callRate + gap;
        const double micEnd = double(mic.chunks * 1024) / 44100;
        QCOMPARE(live.lengthMismatch(std::max(callEnd, micEnd)), QString());
        QVERIFY(live.level(440, 0.2, micEnd - 0.1) > 0.05);

        QVERIFY(!fed.lost());
        const RecordedAudio microphone = fed.channel(0);
        const RecordedAudio heard = fed.channel(1);
        QVERIFY2(std::abs(microphone.seconds() - std::max(callEnd, micEnd)) < 0.003,
            qPrintable(QStringLiteral("%1 s fed, %2 s recorded")
                           .arg(microphone.seconds())
                           .arg(std::max(callEnd, micEnd))));
        for (const RecordedAudio* call : { &live, &heard }) {
            QVERIFY(call->level(660, 0.2, stall - 0.1) > 0.05);
            QVERIFY(call->level(660, stall + 0.1, stall + gap - 0.1) < 0.005);
            QVERIFY(call->level(660, stall + gap + 0.1, callEnd - 0.1) > 0.05);
        }
        QVERIFY(microphone.level(440, 0.2, micEnd - 0.1) > 0.05);
        QVERIFY(heard.level(440, 0.2, micEnd - 0.1) < 0.005);
        QVERIFY(microphone.level(660, 0.2, callEnd - 0.1) < 0.005);
    }

    // A jump back in host time (a new stream that starts before the last one ended) drops the
    // overlap, counted as lost, in the track and the mix alike.
    void jumpsBackInTrackAndMix_data()
    {
        QTest::addColumn<double>("jump");
        QTest::addColumn<double>("lost");
        QTest::newRow("80 ms back") << -0.08 << 0.08;
        QTest::newRow("300 ms back") << -0.3 << 0.3;
    }

    void jumpsBackInTrackAndMix()
    {
        QFETCH(double, jump);
        QFETCH(double, lost);
        auto log = std::make_shared<ScriptLog>();
        Script mic = script("microphone", 0, 2, 44100, 1);
        Script call = script("call", 0, 3, 48000, 2);
        mic.noisy = call.noisy = false;
        call.frequency = 660;
        call.gapAfterChunks = 47; // at 1.0027 s
        call.gapSeconds = jump;
        AudioCapture capture(scriptedSources(mic, call, log));

        const AudioCapture::StopResult result = recordToTheEnd(capture, *log);

        QVERIFY(capture.mixedWhileRecording());
        const double played = double(call.chunks * 1024) / 48000;
        const double recorded = trackSeconds(capture.system());
        QVERIFY2(std::abs(recorded - (played - lost)) < 0.003,
            qPrintable(QStringLiteral("%1 s of %2 s").arg(recorded).arg(played)));
        QCOMPARE(RecordedAudio::decoded(result.mix).lengthMismatch(recorded), QString());
        QCOMPARE(result.losses.size(), std::size_t(lost > 0 ? 1 : 0));
        if (lost > 0) {
            QCOMPARE(result.losses[0].input, AudioLoss::Input::call);
            QVERIFY(std::abs(result.losses[0].seconds - lost) < 0.001);
        }
    }

    void fallsBackWhenTheEncodingCannotKeepUp_data()
    {
        QTest::addColumn<bool>("stall"); // otherwise the encoding fails
        QTest::newRow("encoder stalls, the queue overflows") << true;
        QTest::newRow("encoder fails") << false;
    }

    void fallsBackWhenTheEncodingCannotKeepUp()
    {
        QFETCH(bool, stall);
        auto log = std::make_shared<ScriptLog>();
        Script mic = script("microphone", 0.1, 3, 44100, 1);
        Script call = script("call", 0, 3, 48000, 2);
        mic.pace = call.pace = 2ms;
        LiveMix::Settings settings;
        settings.queueBytes = 512 * 1024; // a quarter of the recording
        int batches = 0;
        settings.beforeDrain = [&] {
            // The second batch: the recording is under way (unless a loaded machine let the
            // queue overflow first, which falls back all the same).
            if (++batches == 2) {
                if (!stall) {
                    throw std::runtime_error("encoder broke");
                }
                log->waitFinished(2);
            }
        };
        AudioCapture capture(scriptedSources(mic, call, log), settings);

        const AudioCapture::StopResult result = recordToTheEnd(capture, *log);

        QVERIFY(!capture.mixedWhileRecording());
        QVERIFY(result.tracks);
        // Every buffer reached the tracks.
        QCOMPARE(trackSeconds(capture.microphone()), double(mic.chunks * 1024) / 44100);
        QCOMPARE(trackSeconds(capture.system()), double(call.chunks * 1024) / 48000);
        QCOMPARE(RecordedAudio::decoded(result.mix)
                     .lengthMismatch(0.1 + double(mic.chunks * 1024) / 44100),
            QString());
        QVERIFY(hiddenFiles(capture.folder()).isEmpty());
    }
};

QTEST_GUILESS_MAIN(tst_LiveMix)
#include "tst_livemix.moc"
