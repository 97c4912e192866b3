// Benchmark helper for bench/transcribe-start: records <seconds> of two generated tracks through
// AudioCapture (injected sources fed faster than real time), then times Gladia::transcribe(tracks)
// until the first request bytes of an upload reach a loopback HTTPS server playing the service.
// Then the same without the copies made while recording, which makes it convert the tracks.
// Prints "transcribe-start seconds=<n> audio_seconds=<seconds>".
#include "audiocapture.h"
#include "blockingwait.h"
#include "fakegladia.h"
#include "generatedmeeting.h"
#include "scriptedsource.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <cstdio>
#include <cstdlib>

namespace {

// Seconds from the call until the service receives the first bytes; the run is then cancelled.
double untilFirstUploadByte(const AudioCapture::Tracks& tracks)
{
    FakeGladia service;
    std::stop_source stop;
    QElapsedTimer clock;
    double first = -1;
    QObject::connect(&service.server, &TestHttpServer::bytesArrived, [&] {
        if (first < 0) {
            first = double(clock.nsecsElapsed()) / 1e9;
            stop.request_stop();
        }
    });
    clock.start();
    const Outcome outcome = run(service.client().transcribe(tracks, stop.get_token()));
    if (first < 0) {
        std::fprintf(stderr, "nothing was uploaded: %s\n", qPrintable(outcome.errorText()));
        std::exit(1);
    }
    return first;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const double seconds = argc > 1 ? std::atof(argv[1]) : 3600;
    auto log = std::make_shared<ScriptLog>();
    const auto [microphone, call] = generatedMeeting(seconds);
    LiveMix::Settings faster;
    faster.waitWhenFull = true; // the sources run faster than real time, the encoder does not
    AudioCapture capture(scriptedSources(microphone, call, log), faster);
    AudioCapture::StopResult result;
    try {
        blockingWait(capture.start());
        log->waitFinished(2);
        result = blockingWait(capture.stop());
    } catch (const std::exception& error) {
        std::fprintf(stderr, "%s\n", error.what());
        return 1;
    }
    if (!result.tracks || !capture.mixedWhileRecording()) {
        std::fprintf(stderr, "the recording did not keep both tracks live\n");
        return 1;
    }

    const double withCopies = untilFirstUploadByte(*result.tracks);
    QFile::remove(AudioCapture::uploadCopy(result.tracks->microphone));
    QFile::remove(AudioCapture::uploadCopy(result.tracks->system));
    const double converting = untilFirstUploadByte(*result.tracks);
    std::printf("converting the tracks first (no copies): %.2f s\n", converting);
    std::printf("transcribe-start seconds=%.2f audio_seconds=%.0f\n", withCopies, seconds);
    return 0;
}
