// Benchmark helper for bench/echo-delays: the bench/echo meeting (far end only, near end only,
// double talk) recorded through AudioCapture on a private sound server whose microphone hears the
// call again 10 dB down at each of several fixed delays. The meeting is played at the
// microphone's own rate, so that the local voice reaches the raw microphone sample for sample and
// the echo left while both talk can be told from it. Prints each delay, then
// "echo-delays worst_erle_db=<n> worst_doubletalk_echo_db=<n> worst_nearend_db=<n>".
#include "echomeeting.h"
#include "pulseserver.h"

#include <QCoreApplication>
#include <QProcess>
#include <QTemporaryDir>
#include <algorithm>
#include <cstdio>
#include <limits>

namespace {

// The scenario's files resampled to `rate` (sox), with the signals read back from them.
bool resample(EchoScenario& scenario, int rate)
{
    for (auto [path, signal] : { std::pair { &scenario.call, &scenario.callSignal },
             std::pair { &scenario.local, &scenario.localSignal } }) {
        const QString resampled
            = QString(*path).replace(QStringLiteral(".wav"), QStringLiteral("-%1.wav").arg(rate));
        if (QProcess::execute(QStringLiteral("sox"),
                { *path, QStringLiteral("-e"), QStringLiteral("floating-point"),
                    QStringLiteral("-r"), QString::number(rate), resampled })
            != 0) {
            return false;
        }
        *path = resampled;
        *signal = readMono(resampled);
        if (signal->sampleRate != rate) {
            return false;
        }
    }
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QTemporaryDir folder;
    qputenv("TMPDIR", QFile::encodeName(folder.path()));
    EchoScenario scenario = EchoScenario::make(folder.path());
    const int microphoneRate = PulseServer::microphoneRateOf(PulseServer::chosenKind());
    if (!scenario.isValid() || !resample(scenario, microphoneRate)) {
        std::fprintf(stderr, "espeak-ng and sox could not make the scenario\n");
        return 1;
    }
    QList<int> delays { 10, 40, 80, 140, 200, 300 };
    if (const QByteArray chosen = qgetenv("PARLEVOX_BENCH_DELAYS"); !chosen.isEmpty()) {
        delays.clear();
        for (const QByteArray& delay : chosen.split(',')) {
            delays << delay.toInt();
        }
    }
    double worstErle = std::numeric_limits<double>::infinity();
    double worstDoubleTalkEcho = worstErle;
    double worstNearEnd = worstErle;
    for (const int delay : delays) {
        std::optional<MeetingRecording> recording;
        try {
            recording = recordMeeting(scenario, folder, delay, false);
        } catch (const std::exception& error) {
            std::fprintf(stderr, "%s\n", error.what());
            return 1;
        }
        if (!recording) {
            return 1;
        }
        const EchoFigures figures = measureEcho(scenario, recording->raw, recording->microphone);
        const double doubleTalkEcho
            = doubleTalkEchoReduction(scenario, recording->raw, recording->microphone);
        std::printf("echo path %d ms (heard %.0f ms after the call): erle %.1f dB, while both talk "
                    "echo -%.1f dB and local voice %+.2f dB, near end only %+.2f dB, canceller "
                    "%.1f ms CPU per second\n",
            delay, recording->echoDelayMs, figures.erle, doubleTalkEcho, figures.doubleTalkChange,
            figures.nearEndChange, recording->cancellerMsPerSecond);
        std::fflush(stdout);
        worstErle = std::min(worstErle, figures.erle);
        worstDoubleTalkEcho = std::min(worstDoubleTalkEcho, doubleTalkEcho);
        worstNearEnd = std::min(worstNearEnd, figures.doubleTalkChange);
    }
    std::printf(
        "echo-delays worst_erle_db=%.1f worst_doubletalk_echo_db=%.1f worst_nearend_db=%.2f\n",
        worstErle, worstDoubleTalkEcho, worstNearEnd);
    return 0;
}
