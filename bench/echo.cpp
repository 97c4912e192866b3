// Benchmark helper for bench/echo: one generated meeting on loudspeakers (far end only, near end
// only, double talk; two synthetic voices) is played on a private sound server whose microphone
// hears the call again 40 ms late and 10 dB down, first at a wandering delay, then at a fixed one.
// It is recorded through AudioCapture, then, on the same input, through the sound server's own echo
// canceller (module-echo-cancel, aec_method=webrtc, its level-changing stages off). The raw
// microphone is recorded beside each. Prints each side's figures, the canceller's CPU cost, and
// last "echo erle_db=<n> ref_erle_db=<n> nearend_change_db=<n> doubletalk_change_db=<n>".
#include "audiocapture.h"
#include "blockingwait.h"
#include "echoscenario.h"
#include "pulseserver.h"
#include "threadcpu.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <optional>
#include <sys/resource.h>

namespace {

struct Figures
{
    double erle = 0;
    double nearEndChange = 0;
    double doubleTalkChange = 0;
};

// Records a source of the server into a float WAV file until stopped.
std::unique_ptr<QProcess> recordSource(
    const PulseServer& server, const QString& source, const QString& file)
{
    auto recorder = std::make_unique<QProcess>();
    recorder->setProcessEnvironment(server.clientEnvironment());
    recorder->start(QStringLiteral("parecord"),
        { QStringLiteral("--device=") + source, QStringLiteral("--file-format=wav"),
            QStringLiteral("--format=float32le"), QStringLiteral("--channels=1"),
            QStringLiteral("--latency-msec=20"), file });
    recorder->waitForStarted();
    return recorder;
}

void finishRecording(QProcess& recorder)
{
    recorder.terminate();
    recorder.waitForFinished(10000);
}

void play(const PulseServer& server, const EchoScenario& scenario, const QString& callSink)
{
    const auto call = server.play(callSink, scenario.call);
    const auto local = server.play(QLatin1String(PulseServer::microphoneSink), scenario.local);
    call->waitForFinished(120000);
    local->waitForFinished(120000);
    QTest::qWait(500);
}

// The three figures of a cancelled microphone against the raw one, both placed on the scenario
// by the local voice alone. The local voice's level in the double talk comes from the files and
// the near-end stretch (where the raw microphone holds nothing else); the echo left in the
// cancelled output there is estimated from the far-end stretch and taken off.
Figures measure(const EchoScenario& scenario, const MonoSignal& raw, const MonoSignal& cancelled)
{
    const EchoScenario::Stretch near = scenario.nearEndOnly;
    const double rawLag = envelopeLag(scenario.localSignal, raw, near.start, near.end, 8);
    const double lag = envelopeLag(scenario.localSignal, cancelled, near.start, near.end, 8);
    const auto rawPower = [&](EchoScenario::Stretch s) {
        return raw.power(s.start + rawLag, s.end + rawLag);
    };
    const auto power = [&](EchoScenario::Stretch s) {
        return cancelled.power(s.start + lag, s.end + lag);
    };
    const EchoScenario::Stretch far = scenario.farEndOnly;
    const EchoScenario::Stretch both = scenario.doubleTalk;
    Figures figures;
    figures.erle = decibels(rawPower(far) / power(far));
    figures.nearEndChange = decibels(power(near) / rawPower(near));
    const double nearGain = rawPower(near) / scenario.localSignal.power(near.start, near.end);
    const double echoGain = rawPower(far) / scenario.callSignal.power(far.start, far.end);
    const double localVoice = nearGain * scenario.localSignal.power(both.start, both.end);
    const double echoLeft
        = echoGain * scenario.callSignal.power(both.start, both.end) * power(far) / rawPower(far);
    figures.doubleTalkChange = decibels(std::max(power(both) - echoLeft, 1e-20) / localVoice);
    return figures;
}

void print(const char* side, const Figures& figures)
{
    std::printf("%s: erle %.1f dB, near end only %+.2f dB, double talk %+.2f dB\n", side,
        figures.erle, figures.nearEndChange, figures.doubleTalkChange);
}

double processCpuSeconds()
{
    rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec)
        + double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// Records the scenario through AudioCapture on a server whose microphone hears the call.
std::optional<Figures> recordParlevox(
    const EchoScenario& scenario, const QTemporaryDir& folder, bool drifting)
{
    PulseServer server;
    if (!server.isReady() || !server.addEcho(40, -10, drifting)) {
        std::fprintf(stderr, "no sound server with an echo path\n");
        return std::nullopt;
    }
    server.makeDefault();
    const QString raw = folder.filePath(QStringLiteral("parlevox-raw.wav"));
    const auto rawRecorder
        = recordSource(server, QLatin1String(PulseServer::microphoneSource), raw);
    AudioCapture capture;
    blockingWait(capture.start());
    if (!QTest::qWaitFor([&] { return QFileInfo(capture.microphone()).size() > 8192; }, 5000)) {
        std::fprintf(stderr, "the microphone delivers nothing\n");
        return std::nullopt;
    }
    const double cpuBefore = processCpuSeconds();
    const double echoBefore = threadcpu::seconds("Parlevox.echo");
    const auto started = std::chrono::steady_clock::now();
    play(server, scenario, QLatin1String(PulseServer::callSink));
    const double recorded
        = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    const double echoCpu = threadcpu::seconds("Parlevox.echo") - echoBefore;
    const double captureCpu = processCpuSeconds() - cpuBefore;
    const AudioCapture::StopResult result = blockingWait(capture.stop());
    finishRecording(*rawRecorder);
    if (!result.tracks) {
        std::fprintf(stderr, "the recording did not keep both tracks\n");
        return std::nullopt;
    }
    std::printf("canceller cpu %.1f ms per recorded second (whole capture %.1f ms)\n",
        echoCpu * 1000 / recorded, captureCpu * 1000 / recorded);
    return measure(scenario, readMono(raw), readMono(capture.microphone()));
}

// The same through the sound server's own echo canceller.
std::optional<Figures> recordReference(
    const EchoScenario& scenario, const QTemporaryDir& folder, bool drifting)
{
    PulseServer server;
    if (!server.isReady() || !server.addEcho(40, -10, drifting)
        || !server.control({ QStringLiteral("load-module"), QStringLiteral("module-echo-cancel"),
            QStringLiteral("source_master=%1").arg(QLatin1String(PulseServer::microphoneSource)),
            QStringLiteral("sink_master=%1").arg(QLatin1String(PulseServer::callSink)),
            QStringLiteral("source_name=echo_cancelled"), QStringLiteral("sink_name=echo_call"),
            QStringLiteral("aec_method=webrtc"),
            QStringLiteral("aec_args=\"high_pass_filter=0 noise_suppression=0 "
                           "analog_gain_control=0 digital_gain_control=0\"") })) {
        std::fprintf(stderr, "module-echo-cancel could not be loaded\n");
        return std::nullopt;
    }
    const QString raw = folder.filePath(QStringLiteral("reference-raw.wav"));
    const QString cancelled = folder.filePath(QStringLiteral("reference.wav"));
    const auto rawRecorder
        = recordSource(server, QLatin1String(PulseServer::microphoneSource), raw);
    const auto recorder = recordSource(server, QStringLiteral("echo_cancelled"), cancelled);
    QTest::qWait(1000);
    play(server, scenario, QStringLiteral("echo_call"));
    finishRecording(*recorder);
    finishRecording(*rawRecorder);
    return measure(scenario, readMono(raw), readMono(cancelled));
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QTemporaryDir folder;
    qputenv("TMPDIR", QFile::encodeName(folder.path()));
    const EchoScenario scenario = EchoScenario::make(folder.path());
    if (!scenario.isValid()) {
        std::fprintf(stderr, "espeak-ng could not make the scenario\n");
        return 1;
    }
    std::printf("scenario %.1f s: far end only %.1f-%.1f, near end only %.1f-%.1f, double talk "
                "%.1f-%.1f\n",
        scenario.seconds, scenario.farEndOnly.start, scenario.farEndOnly.end,
        scenario.nearEndOnly.start, scenario.nearEndOnly.end, scenario.doubleTalk.start,
        scenario.doubleTalk.end);

    // First with the echo at a wandering delay (loudspeaker and microphone on clocks of their
    // own), then at a fixed one, which the last line gives.
    std::optional<Figures> parlevox;
    std::optional<Figures> reference;
    for (const bool drifting : { true, false }) {
        std::printf("%s echo path:\n", drifting ? "wandering" : "fixed");
        try {
            parlevox = recordParlevox(scenario, folder, drifting);
        } catch (const std::exception& error) {
            std::fprintf(stderr, "%s\n", error.what());
            return 1;
        }
        // module-echo-cancel is PulseAudio's own.
        const bool withReference = PulseServer::chosenKind() == PulseServer::Kind::pulseAudio;
        reference = parlevox && withReference ? recordReference(scenario, folder, drifting)
                                              : std::nullopt;
        if (!parlevox || (withReference && !reference)) {
            return 1;
        }
        print("  Parlevox", *parlevox);
        if (reference) {
            print("  module-echo-cancel", *reference);
        } else {
            std::printf("  module-echo-cancel: left out, PipeWire has none\n");
        }
    }
    std::printf(
        "echo erle_db=%.1f ref_erle_db=%.1f nearend_change_db=%.2f doubletalk_change_db=%.2f\n",
        parlevox->erle, reference ? reference->erle : NAN, parlevox->nearEndChange,
        parlevox->doubleTalkChange);
    return 0;
}
