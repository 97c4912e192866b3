// Benchmark helper for bench/clock-drift: two inputs on clocks of their own recorded through
// AudioCapture. First two injected sources whose reported times run 300 ppm fast and slow, each
// with a click every 10 s of host time (the call's 5 s after the microphone's), for 18 times
// <seconds> at 20 times real time; then a private sound server whose microphone is a
// module-pipe-source fed 600 ppm fast with a click every 10 s, against a call sink that the
// server itself fills with a 1 Hz sine on the host's clock, for <seconds>. The error is how far
// each microphone click is from where it belongs: 5 s before its call click for the injected
// sources; for the real devices, at the same phase of the call's sine as the others (the median:
// the offset includes the devices' own latencies). Prints one line per part, then
// "clock-drift error_ms=<largest> hours=<injected hours> ppm=600". A second argument "real"
// runs the real devices alone.
#include "audiocapture.h"
#include "blockingwait.h"
#include "pacedpipe.h"
#include "pulseserver.h"
#include "scriptedsource.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QThread>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <sndfile.h>
#include <tuple>
#include <vector>

namespace {

constexpr double clickEvery = 10;
constexpr double speedup = 20;

// Seconds from the start of the track to each click, read in blocks: the tracks last hours.
std::vector<double> clicks(const QString& path)
{
    std::vector<double> starts;
    SF_INFO info {};
    SNDFILE* file = sf_open(QFile::encodeName(path).constData(), SFM_READ, &info);
    if (!file) {
        return starts;
    }
    constexpr sf_count_t blockFrames = 65536;
    std::vector<float> block(std::size_t(blockFrames * info.channels));
    double last = -1;
    sf_count_t frame = 0;
    for (sf_count_t read = 0; (read = sf_readf_float(file, block.data(), blockFrames)) > 0;
         frame += read) {
        for (sf_count_t index = 0; index < read; ++index) {
            float sum = 0;
            for (int channel = 0; channel < info.channels; ++channel) {
                sum += block[std::size_t(index * info.channels + channel)];
            }
            if (std::abs(sum / float(info.channels)) > 0.3f) {
                const double at = double(frame + index) / info.samplerate;
                if (starts.empty() || at - last > 0.5) {
                    starts.push_back(at);
                }
                last = at;
            }
        }
    }
    sf_close(file);
    std::printf("  %s: %.3f s\n", qPrintable(QFileInfo(path).fileName()),
        double(info.frames) / info.samplerate);
    return starts;
}

// Seconds from the start of the track to each rise of a slow sine through zero, between samples.
std::vector<double> upwardCrossings(const QString& path)
{
    std::vector<double> crossings;
    SF_INFO info {};
    SNDFILE* file = sf_open(QFile::encodeName(path).constData(), SFM_READ, &info);
    if (!file) {
        return crossings;
    }
    constexpr sf_count_t blockFrames = 65536;
    std::vector<float> block(std::size_t(blockFrames * info.channels));
    float previous = 0;
    sf_count_t frame = 0;
    for (sf_count_t read = 0; (read = sf_readf_float(file, block.data(), blockFrames)) > 0;
         frame += read) {
        for (sf_count_t index = 0; index < read; ++index) {
            const float sample = block[std::size_t(index * info.channels)];
            const double at
                = (double(frame + index) - sample / (sample - previous)) / info.samplerate;
            // A 1 Hz sine crosses upwards once a second; the rest is its neighbourhood.
            if (previous < 0 && sample >= 0 && (crossings.empty() || at - crossings.back() > 0.5)) {
                crossings.push_back(at);
            }
            previous = sample;
        }
    }
    sf_close(file);
    return crossings;
}

// The largest distance of a microphone click from its call event (a click, or a rise of the
// sine), against `expected` or else the median of all; none when they do not pair up.
std::optional<double> largestError(const AudioCapture& capture,
    const AudioCapture::StopResult& result, std::optional<double> expected, bool callIsSine)
{
    if (!result.tracks) {
        std::fprintf(stderr, "the mix did not take both tracks\n");
        return std::nullopt;
    }
    const std::vector<double> microphone = clicks(capture.microphone());
    const std::vector<double> call
        = callIsSine ? upwardCrossings(capture.system()) : clicks(capture.system());
    if (microphone.size() < 2 || call.size() < 2) {
        std::fprintf(stderr, "%zu clicks in the microphone, %zu events in the call\n",
            microphone.size(), call.size());
        return std::nullopt;
    }
    const double microphoneOffset = result.tracks->microphoneOffset;
    const double callOffset = result.tracks->systemOffset;
    const auto nearestTo = [&](double at) {
        return *std::min_element(call.begin(), call.end(), [&](double a, double b) {
            return std::abs(a + callOffset - at) < std::abs(b + callOffset - at);
        }) + callOffset;
    };
    // Each microphone click goes with the call event nearest to where the first pair says it
    // belongs: a track that drifted far may have lost or gained one at either end.
    const double first = expected.value_or(
        nearestTo(microphone[0] + microphoneOffset) - (microphone[0] + microphoneOffset));
    const double tolerance = callIsSine ? 0.5 : clickEvery / 2;
    std::vector<double> apart;
    for (const double click : microphone) {
        const double at = click + microphoneOffset;
        const double distance = nearestTo(at + first) - at;
        if (std::abs(distance - first) < tolerance) {
            apart.push_back(distance);
        }
    }
    double lost[2] = { 0, 0 };
    int losses = 0;
    for (const AudioLoss& loss : result.losses) {
        lost[loss.input == AudioLoss::Input::microphone ? 0 : 1] += loss.seconds;
        ++losses;
    }
    std::printf("  %d losses reported: microphone %.3f s, call %.3f s\n", losses, lost[0], lost[1]);
    const std::size_t count = apart.size();
    if (count < 2) {
        std::fprintf(stderr, "the clicks of the two tracks do not pair up\n");
        return std::nullopt;
    }
    std::vector<double> sorted = apart;
    std::nth_element(sorted.begin(), sorted.begin() + std::ptrdiff_t(count / 2), sorted.end());
    const double reference = expected.value_or(sorted[count / 2]);
    double largest = 0;
    std::size_t worst = 0;
    for (std::size_t click = 0; click < count; ++click) {
        if (std::abs(apart[click] - reference) > largest) {
            largest = std::abs(apart[click] - reference);
            worst = click;
        }
    }
    std::printf("  %zu clicks, %.4f s from their call event at the first, %.4f s at the last; "
                "the first ten off by (ms):",
        count, apart.front(), apart.back());
    for (std::size_t click = 0; click < std::min<std::size_t>(count, 10); ++click) {
        std::printf(" %.1f", (apart[click] - reference) * 1e3);
    }
    std::printf("; the largest at click %zu of %zu\n", worst + 1, count);
    return largest;
}

std::optional<double> injected(double seconds)
{
    auto log = std::make_shared<ScriptLog>();
    ScriptedSource::Script microphone = scriptOf("microphone", 0.2, seconds, 16000, 1);
    ScriptedSource::Script call = scriptOf("call", 0, seconds, 16000, 1);
    for (auto [script, drift, first] :
        { std::tuple { &microphone, 300.0, 0.8 }, std::tuple { &call, -300.0, 6.0 } }) {
        script->amplitude = 0;
        script->drift = drift;
        script->timeJitter = 0.004;
        script->clickEvery = clickEvery;
        script->clickAt = first;
        script->lockstep = true;
        script->pace = std::chrono::microseconds(
            std::int64_t(double(script->chunkFrames) * 1e6 / script->sampleRate / speedup));
    }
    LiveMix::Settings live;
    live.waitWhenFull = true;
    live.queueBytes = std::size_t(4) << 20;
    AudioCapture capture(scriptedSources(microphone, call, log), live);
    const AudioCapture::StopResult result = recordToTheEnd(capture, *log);
    return largestError(capture, result, 5.0, false);
}

std::optional<double> realDevices(double seconds)
{
    PulseServer server;
    if (!server.isReady()) {
        std::fprintf(stderr, "%s\n", qPrintable(server.log()));
        return std::nullopt;
    }
    server.makeDefault();
    const QString fifo = server.folder() + QStringLiteral("/microphone.fifo");
    if (!server.control({ QStringLiteral("load-module"), QStringLiteral("module-pipe-source"),
            QStringLiteral("source_name=parlevox_pipe_mic"), QStringLiteral("file=") + fifo,
            QStringLiteral("format=float32le"), QStringLiteral("rate=48000"),
            QStringLiteral("channels=1") })
        || !server.control(
            { QStringLiteral("set-default-source"), QStringLiteral("parlevox_pipe_mic") })) {
        std::fprintf(stderr, "no pipe source\n");
        return std::nullopt;
    }
    // The call is a sine that the server itself plays into the call sink: a player process may
    // run dry now and then (and every later click would come late for real), the server's own
    // sink input never does. Both devices are under way before the recording starts.
    if (!server.control({ QStringLiteral("load-module"), QStringLiteral("module-sine"),
            QStringLiteral("sink=") + QLatin1String(PulseServer::callSink),
            QStringLiteral("frequency=1") })) {
        std::fprintf(stderr, "no sine in the call\n");
        return std::nullopt;
    }
    const PacedPipe microphone(fifo, 600e-6, 10, clickEvery);
    QThread::msleep(2000);
    AudioCapture capture;
    blockingWait(capture.start());
    QThread::msleep(int(seconds * 1000));
    const AudioCapture::StopResult result = blockingWait(capture.stop());
    std::printf("  the writer threw away %.3f s of audio left unread in the pipe\n",
        microphone.drainedSeconds());
    return largestError(capture, result, std::nullopt, true);
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const double seconds = argc > 1 ? std::atof(argv[1]) : 600;
    const double injectedSeconds = seconds * 18;
    try {
        const bool realOnly = argc > 2 && std::strcmp(argv[2], "real") == 0;
        const std::optional<double> first = realOnly ? 0.0 : injected(injectedSeconds);
        if (!first) {
            return 1;
        }
        if (!realOnly) {
            std::printf("injected sources, +300 and -300 ppm, %.2f h at %.0fx: largest error "
                        "%.2f ms\n",
                injectedSeconds / 3600, speedup, *first * 1e3);
        }
        std::fflush(stdout);
        const std::optional<double> second = realDevices(seconds);
        if (!second) {
            return 1;
        }
        std::printf("pipe-source microphone, +600 ppm, %.0f s: largest error %.2f ms\n", seconds,
            *second * 1e3);
        std::printf("clock-drift error_ms=%.2f hours=%g ppm=600\n", std::max(*first, *second) * 1e3,
            injectedSeconds / 3600);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "%s\n", error.what());
        return 1;
    }
    return 0;
}
