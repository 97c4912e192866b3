// Benchmark helper for bench/stop-latency: feeds <seconds> of generated audio from two injected
// sources (a 44.1 kHz mono microphone and a 48 kHz stereo call starting 0.35 s earlier) through
// AudioCapture faster than real time, then times stop() until "reunion.m4a" is complete. With
// "--after-stop", the live mix is left out and the stop mixes the tracks. Prints the peak memory,
// then "stop-latency seconds=<n> audio_seconds=<seconds>".
#include "audiocapture.h"
#include "blockingwait.h"
#include "error.h"
#include "generatedmeeting.h"
#include "scriptedsource.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/resource.h>

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const double seconds = argc > 1 ? std::atof(argv[1]) : 600;
    const bool afterStop = argc > 2 && std::strcmp(argv[2], "--after-stop") == 0;
    auto log = std::make_shared<ScriptLog>();
    const auto [microphone, call] = generatedMeeting(seconds);

    LiveMix::Settings live;
    // The sources run faster than real time and the encoder does not: they wait for it instead of
    // overflowing the queue, which is full when the stop comes.
    live.waitWhenFull = true;
    // A few seconds of backlog at the stop, more than a live recording leaves on a loaded machine.
    live.queueBytes = std::size_t(4) << 20;
    if (afterStop) {
        live.beforeDrain = [] {
            throw std::runtime_error("left out");
        };
    }
    AudioCapture capture(scriptedSources(microphone, call, log), live);
    try {
        const auto fed = std::chrono::steady_clock::now();
        blockingWait(capture.start());
        log->waitFinished(2);
        const auto stopping = std::chrono::steady_clock::now();
        const AudioCapture::StopResult result = blockingWait(capture.stop());
        const auto stopped = std::chrono::steady_clock::now();
        if (!result.tracks || capture.mixedWhileRecording() == afterStop) {
            std::fprintf(stderr, "the mix did not take both tracks as intended\n");
            return 1;
        }
        rusage usage {};
        getrusage(RUSAGE_SELF, &usage);
        std::printf("%s; peak memory %.0f MB\n", afterStop ? "mixed after the stop" : "live mix",
            double(usage.ru_maxrss) / 1024);
        std::printf("feeding %.0f s of two tracks took %.2f s; reunion.m4a %.1f MB\n", seconds,
            std::chrono::duration<double>(stopping - fed).count(),
            double(QFileInfo(result.mix).size()) / 1e6);
        std::printf("stop-latency seconds=%.2f audio_seconds=%.0f\n",
            std::chrono::duration<double>(stopped - stopping).count(), seconds);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "%s\n", error.what());
        return 1;
    }
    return 0;
}
