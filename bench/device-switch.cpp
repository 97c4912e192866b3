// Benchmark helper for bench/device-switch: a private sound server with a second output of
// another format (the headset); a tone plays into the default output all along, and the server
// moves it to the new default at each switch, as it does for any application. AudioCapture records
// while the default output is switched <switches> times, 1.5 s apart. Every stretch of digital
// silence in the call track is audio that was lost; stretches less than 0.5 s apart count as one
// switch's loss. Prints one line per switch, then "device-switch lost_ms=<largest loss>".
#include "audiocapture.h"
#include "blockingwait.h"
#include "pulseserver.h"
#include "recordedaudio.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QThread>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

// Stretches of digital silence of at least a millisecond, merged when closer than 0.5 s.
std::vector<RecordedAudio::Stretch> losses(const RecordedAudio& call, double from, double to)
{
    std::vector<RecordedAudio::Stretch> found;
    const auto first = std::size_t(from * call.sampleRate);
    const auto last = std::min(call.mono.size(), std::size_t(to * call.sampleRate));
    const auto minimum = std::size_t(call.sampleRate / 1000);
    std::size_t run = first;
    for (std::size_t index = first; index <= last; ++index) {
        if (index < last && call.mono[index] == 0.0f) {
            continue;
        }
        if (index - run >= minimum) {
            const double start = double(run) / call.sampleRate;
            const double seconds = double(index - run) / call.sampleRate;
            if (!found.empty() && start - (found.back().start + found.back().seconds) < 0.5) {
                found.back().seconds += seconds;
            } else {
                found.push_back({ start, seconds });
            }
        }
        run = index + 1;
    }
    return found;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const int switches = argc > 1 ? std::atoi(argv[1]) : 5;

    PulseServer server;
    if (!server.isReady() || !server.addHeadset()) {
        std::fprintf(stderr, "no private sound server:\n%s\n", qPrintable(server.log()));
        return 1;
    }
    server.makeDefault();
    const auto player = server.play(QLatin1String(PulseServer::callSink),
        server.tone(QStringLiteral("call.wav"), 2.0 * switches + 30, 440, 0.5));
    QThread::sleep(1);

    try {
        AudioCapture capture;
        blockingWait(capture.start());
        for (int waited = 0; QFileInfo(capture.system()).size() < 8192; waited += 20) {
            if (waited > 5000) {
                std::fprintf(stderr, "no audio arrived\n");
                return 1;
            }
            QThread::msleep(20);
        }
        QThread::msleep(1000);
        for (int index = 0; index < switches; ++index) {
            const char* sink = index % 2 == 0 ? PulseServer::headsetSink : PulseServer::callSink;
            if (!server.control({ QStringLiteral("set-default-sink"), QLatin1String(sink) })) {
                std::fprintf(stderr, "could not switch the default sink\n");
                return 1;
            }
            QThread::msleep(1500);
        }
        const AudioCapture::StopResult result = blockingWait(capture.stop());
        const RecordedAudio call = RecordedAudio::fromTrack(capture.system());
        const std::vector<RecordedAudio::Stretch> lost = losses(call, 0.3, call.seconds() - 0.1);
        double worst = 0;
        for (const RecordedAudio::Stretch& stretch : lost) {
            std::printf("silence at %.3f s: %.1f ms\n", stretch.start, 1000 * stretch.seconds);
            worst = std::max(worst, stretch.seconds);
        }
        for (const AudioLoss& loss : result.losses) {
            std::printf("reported by the call source: %.1f ms\n", 1000 * loss.seconds);
        }
        if (call.level(440, call.seconds() - 1, call.seconds() - 0.1) < 0.1) {
            std::fprintf(stderr, "the tone is missing after the last switch\n");
            return 1;
        }
        std::printf("%zu switches, %zu losses\n", std::size_t(switches), lost.size());
        std::printf("device-switch lost_ms=%.0f\n", 1000 * worst);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "%s\n", error.what());
        return 1;
    }
    player->kill();
    player->waitForFinished();
    return 0;
}
