// Benchmark helper for bench/live-mix: records <seconds> through AudioCapture from generated
// sources (tones with a little noise, the microphone 0.35 s after the call), then mixes the same
// tracks after the stop and compares both decodings: once with a call that sounds at once, once
// with a call silent for its first quarter, once with a call silent throughout (the microphone
// alone, cut out of a mix that began with the call). Prints each case, then
// "live-mix diff_db=<the largest difference, relative to the signal>".
#include "audiocapture.h"
#include "blockingwait.h"
#include "generatedmeeting.h"
#include "recordedaudio.h"
#include "scriptedsource.h"

#include <QCoreApplication>
#include <QDir>
#include <cstdio>
#include <cstdlib>

namespace {

struct Case
{
    const char* name;
    double silentShare; // of the call, from its start
};

double compare(double seconds, const Case& c)
{
    auto log = std::make_shared<ScriptLog>();
    auto [microphone, call] = generatedMeeting(seconds);
    microphone.amplitude = call.amplitude = 0.3f;
    microphone.noiseLevel = call.noiseLevel = 0.1f;
    call.frequency = 660;
    call.silentChunks = std::int64_t(double(call.chunks) * c.silentShare);
    LiveMix::Settings faster;
    faster.waitWhenFull = true;
    AudioCapture capture(scriptedSources(microphone, call, log), faster);
    blockingWait(capture.start());
    log->waitFinished(2);
    const AudioCapture::StopResult result = blockingWait(capture.stop());
    if (!capture.mixedWhileRecording()) {
        std::fprintf(stderr, "%s: the live mix was given up\n", c.name);
        std::exit(1);
    }
    const QString after = QDir(capture.folder()).filePath(QStringLiteral("after-stop.m4a"));
    if (result.tracks) {
        AudioCapture::mix(result.tracks->microphone, result.tracks->system, after,
            result.tracks->microphoneOffset, result.tracks->systemOffset);
    } else {
        AudioCapture::exportAudio({ { capture.microphone(), 0 } }, after);
    }
    const RecordedAudio live = RecordedAudio::decoded(result.mix);
    const RecordedAudio reference = RecordedAudio::decoded(after);
    const double difference = differenceDb(live, reference);
    std::printf("%s: %.1f dB (lengths %.3f s and %.3f s)\n", c.name, difference, live.duration,
        reference.duration);
    return difference;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const double seconds = argc > 1 ? std::atof(argv[1]) : 60;
    double worst = -1000;
    try {
        for (const Case& c :
            { Case { "microphone and call", 0 }, Case { "call silent for its first quarter", 0.25 },
                Case { "call silent throughout: microphone alone", 1 } }) {
            worst = std::max(worst, compare(seconds, c));
        }
    } catch (const std::exception& error) {
        std::fprintf(stderr, "%s\n", error.what());
        return 1;
    }
    std::printf("live-mix diff_db=%.1f\n", worst);
    return 0;
}
