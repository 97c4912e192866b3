// Benchmark helper for bench/echo: one generated meeting on loudspeakers (far end only, near end
// only, double talk; two synthetic voices) is played on a private sound server whose microphone
// hears the call again 40 ms late and 10 dB down, first at a wandering delay, then at a fixed one.
// It is recorded through AudioCapture, then, on the same input, through the sound server's own echo
// canceller (module-echo-cancel, aec_method=webrtc, its level-changing stages off). The raw
// microphone is recorded beside each. Prints each side's figures, the canceller's CPU cost, and
// last "echo erle_db=<n> ref_erle_db=<n> nearend_change_db=<n> doubletalk_change_db=<n>".
#include "echomeeting.h"
#include "pulseserver.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <cmath>
#include <cstdio>
#include <optional>

namespace {

void print(const char* side, const EchoFigures& figures)
{
    std::printf("%s: erle %.1f dB, near end only %+.2f dB, double talk %+.2f dB\n", side,
        figures.erle, figures.nearEndChange, figures.doubleTalkChange);
}

// Records the scenario through AudioCapture on a server whose microphone hears the call.
std::optional<EchoFigures> recordParlevox(
    const EchoScenario& scenario, const QTemporaryDir& folder, bool drifting)
{
    const std::optional<MeetingRecording> recording = recordMeeting(scenario, folder, 40, drifting);
    if (!recording) {
        return std::nullopt;
    }
    std::printf("canceller cpu %.1f ms per recorded second (whole capture %.1f ms)\n",
        recording->cancellerMsPerSecond, recording->captureMsPerSecond);
    return measureEcho(scenario, recording->raw, recording->microphone);
}

// The same through the sound server's own echo canceller.
std::optional<EchoFigures> recordReference(
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
    const bool played = playScenario(server, scenario, QStringLiteral("echo_call"));
    finishRecording(*recorder);
    finishRecording(*rawRecorder);
    if (!played) {
        std::fprintf(stderr, "could not play the meeting\n");
        return std::nullopt;
    }
    return measureEcho(scenario, readMono(raw), readMono(cancelled));
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
    std::optional<EchoFigures> parlevox;
    std::optional<EchoFigures> reference;
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
