// Benchmark helper for bench/alignment: a private sound server with a combined sink that feeds
// both the call sink and the microphone's sink; one click played into it reaches both recorded
// inputs at the same instant. AudioCapture records it; the click's position in each track after
// its offset gives the alignment error. Prints one line per run, then
// "alignment error_ms=<largest absolute difference> after_switch_ms=<the same, in runs where the
// default sink is switched to another device before the click>".
#include "audiocapture.h"
#include "blockingwait.h"
#include "error.h"
#include "pulseserver.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QThread>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <sndfile.h>
#include <vector>

namespace {

// Seconds from the start of the track to the first sample of the click; negative when none.
double clickPosition(const QString& path)
{
    SF_INFO info {};
    SNDFILE* file = sf_open(QFile::encodeName(path).constData(), SFM_READ, &info);
    if (!file) {
        return -1;
    }
    std::vector<float> frame(std::size_t(info.channels));
    double position = -1;
    for (sf_count_t index = 0; sf_readf_float(file, frame.data(), 1) == 1; ++index) {
        if (std::any_of(frame.begin(), frame.end(), [](float s) { return std::abs(s) > 0.3f; })) {
            position = double(index) / info.samplerate;
            break;
        }
    }
    sf_close(file);
    return position;
}

bool receiving(const QString& track)
{
    return QFileInfo(track).size() > 8192;
}

bool waitUntil(const std::function<bool()>& condition, int milliseconds)
{
    for (int waited = 0; waited < milliseconds; waited += 20) {
        if (condition()) {
            return true;
        }
        QThread::msleep(20);
    }
    return condition();
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const int runs = argc > 1 ? std::atoi(argv[1]) : 5;

    PulseServer server;
    const auto combine = [&](const char* name, const char* callSink) {
        return server.control(
            { QStringLiteral("load-module"), QStringLiteral("module-combine-sink"),
                QStringLiteral("sink_name=%1").arg(QLatin1String(name)),
                QStringLiteral("slaves=%1,%2")
                    .arg(QLatin1String(callSink), QLatin1String(PulseServer::microphoneSink)) });
    };
    const auto setDefaultSink = [&](const char* sink) {
        return server.control({ QStringLiteral("set-default-sink"), QLatin1String(sink) });
    };
    if (!server.isReady() || !combine("both", PulseServer::callSink)
        || !setDefaultSink(PulseServer::callSink)) {
        std::fprintf(stderr, "no private sound server:\n%s\n", qPrintable(server.log()));
        return 1;
    }
    server.makeDefault();
    const QString click = server.click(QStringLiteral("click.wav"), 0.3);

    // Plain runs, then as many runs in which the call moves to the headset (another rate and
    // channel count) mid-recording, before the click.
    double worst = 0;
    double worstAfterSwitch = 0;
    for (int run = 1; run <= 2 * runs; ++run) {
        const bool switching = run > runs;
        // Two combined sinks feeding the same microphone sink would disturb each other: the
        // headset's comes in place of the first for the switched runs.
        if (run == runs + 1) {
            if (!server.addHeadset()
                || !server.control(
                    { QStringLiteral("unload-module"), QStringLiteral("module-combine-sink") })
                || !combine("both_headset", PulseServer::headsetSink)) {
                std::fprintf(stderr, "could not combine the headset:\n%s\n",
                    qPrintable(server.log().right(2000)));
                return 1;
            }
        }
        try {
            // Each switched run starts from the first sink (and nothing else touches the server).
            if (switching && !setDefaultSink(PulseServer::callSink)) {
                std::fprintf(stderr, "could not set the default sink\n");
                return 1;
            }
            AudioCapture capture;
            blockingWait(capture.start());
            if (!waitUntil(
                    [&] { return receiving(capture.microphone()) && receiving(capture.system()); },
                    5000)) {
                std::fprintf(stderr, "no audio arrived\n");
                return 1;
            }
            if (switching) {
                QThread::msleep(300);
                if (!setDefaultSink(PulseServer::headsetSink)) {
                    std::fprintf(stderr, "could not switch the default sink\n");
                    return 1;
                }
            }
            // A varying pause, so that runs fall at different points of the servers' cycles.
            QThread::msleep(100 + 37 * run);
            if (!server.playAndWait(QLatin1String(switching ? "both_headset" : "both"), click)) {
                std::fprintf(stderr, "could not play the click\n");
                return 1;
            }
            QThread::msleep(300);
            const AudioCapture::StopResult result = blockingWait(capture.stop());
            if (!result.tracks) {
                std::fprintf(stderr, "a track is missing from the mix\n");
                return 1;
            }
            const double inMicrophone = clickPosition(result.tracks->microphone);
            const double inCall = clickPosition(result.tracks->system);
            if (inMicrophone < 0 || inCall < 0) {
                std::fprintf(stderr, "the click is missing from a track\n");
                return 1;
            }
            const double error = 1000
                * std::abs((result.tracks->microphoneOffset + inMicrophone)
                    - (result.tracks->systemOffset + inCall));
            std::printf(
                "run %d%s: offsets microphone %.4f s call %.4f s, click at %.4f s / %.4f s, "
                "error %.2f ms\n",
                run, switching ? " (switched)" : "", result.tracks->microphoneOffset,
                result.tracks->systemOffset, inMicrophone, inCall, error);
            std::fflush(stdout);
            (switching ? worstAfterSwitch : worst)
                = std::max(switching ? worstAfterSwitch : worst, error);
        } catch (const std::exception& error) {
            std::fprintf(stderr, "%s\n", error.what());
            return 1;
        }
    }
    std::printf("alignment error_ms=%.2f after_switch_ms=%.2f\n", worst, worstAfterSwitch);
    return 0;
}
