#include "echomeeting.h"

#include "audiocapture.h"
#include "blockingwait.h"
#include "pulseserver.h"
#include "threadcpu.h"

#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <sys/resource.h>

namespace {

double processCpuSeconds()
{
    rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec)
        + double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// The sample offset, within `around` ± 20 ms, at which `signal` best matches `reference` over
// [from, to) seconds of the reference, by cross-correlation; both at the same rate.
std::ptrdiff_t sampleLag(
    const MonoSignal& reference, const MonoSignal& signal, double from, double to, double around)
{
    const int rate = reference.sampleRate;
    const auto first = std::ptrdiff_t(from * rate);
    const auto last = std::min(std::ptrdiff_t(to * rate), std::ptrdiff_t(reference.samples.size()));
    const auto centre = std::ptrdiff_t(std::lround(around * rate));
    const std::ptrdiff_t reach = rate / 50;
    std::ptrdiff_t best = centre;
    double bestProduct = -1;
    for (std::ptrdiff_t lag = centre - reach; lag <= centre + reach; ++lag) {
        double product = 0;
        for (std::ptrdiff_t at = first; at < last; ++at) {
            const std::ptrdiff_t there = at + lag;
            if (there >= 0 && there < std::ptrdiff_t(signal.samples.size())) {
                product += double(reference.samples[std::size_t(at)])
                    * signal.samples[std::size_t(there)];
            }
        }
        if (product > bestProduct) {
            bestProduct = product;
            best = lag;
        }
    }
    return best;
}

// How far below the echo the part of `out` that follows it lies over [from, to) seconds of the
// scenario, in dB: block by block (20 ms), `out` is fitted by least squares to the local voice
// and the echo, so that the canceller's changes of the voice's level are not taken for echo.
// Echo left that no longer resembles the echo (reshaped by the suppressor) is not counted.
double echoLeftBelow(const std::vector<float>& local, const std::vector<float>& echo,
    const std::vector<float>& out, int rate)
{
    const auto block = std::size_t(rate / 50);
    double echoPower = 0, leftPower = 0;
    for (std::size_t at = 0; at + block <= std::min({ local.size(), echo.size(), out.size() });
         at += block) {
        double ll = 0, le = 0, ee = 0, lo = 0, eo = 0;
        for (std::size_t i = at; i < at + block; ++i) {
            const double l = local[i], e = echo[i], o = out[i];
            ll += l * l;
            le += l * e;
            ee += e * e;
            lo += l * o;
            eo += e * o;
        }
        const double determinant = ll * ee - le * le;
        if (determinant <= 1e-18) {
            continue;
        }
        const double echoGain = (ll * eo - le * lo) / determinant;
        echoPower += ee;
        leftPower += echoGain * echoGain * ee;
    }
    return decibels(echoPower / std::max(leftPower, 1e-20));
}

// `count` samples of `signal` from `first` (which may lie outside it: zeros there).
std::vector<float> slice(const MonoSignal& signal, std::ptrdiff_t first, std::size_t count)
{
    std::vector<float> samples(count, 0.0f);
    for (std::size_t at = 0; at < count; ++at) {
        const std::ptrdiff_t index = first + std::ptrdiff_t(at);
        if (index >= 0 && index < std::ptrdiff_t(signal.samples.size())) {
            samples[at] = signal.samples[std::size_t(index)];
        }
    }
    return samples;
}

} // namespace

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

bool playScenario(const PulseServer& server, const EchoScenario& scenario, const QString& callSink)
{
    const bool played = server.playTogether({ { callSink, scenario.call },
        { QLatin1String(PulseServer::microphoneSink), scenario.local } });
    QTest::qWait(500);
    return played;
}

// The local voice's level in the double talk comes from the files and the near-end stretch
// (where the raw microphone holds nothing else); the echo left in the cancelled output there is
// estimated from the far-end stretch and taken off.
EchoFigures measureEcho(
    const EchoScenario& scenario, const MonoSignal& raw, const MonoSignal& cancelled)
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
    EchoFigures figures;
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

double doubleTalkEchoReduction(
    const EchoScenario& scenario, const MonoSignal& raw, const MonoSignal& cancelled)
{
    const EchoScenario::Stretch near = scenario.nearEndOnly;
    const EchoScenario::Stretch both = scenario.doubleTalk;
    const MonoSignal& local = scenario.localSignal;
    const std::ptrdiff_t rawLag = sampleLag(
        local, raw, near.start, near.end, envelopeLag(local, raw, near.start, near.end, 8));
    const std::ptrdiff_t lag = sampleLag(local, cancelled, near.start, near.end,
        envelopeLag(local, cancelled, near.start, near.end, 8));
    // The echo is what the raw microphone holds beside the local voice, which reaches it
    // unchanged.
    const auto first = std::ptrdiff_t(both.start * local.sampleRate);
    const auto count = std::size_t((both.end - both.start) * local.sampleRate);
    const std::vector<float> voice = slice(local, first, count);
    std::vector<float> echo = slice(raw, first + rawLag, count);
    for (std::size_t at = 0; at < count; ++at) {
        echo[at] -= voice[at];
    }
    return echoLeftBelow(voice, echo, slice(cancelled, first + lag, count), local.sampleRate);
}

std::optional<MeetingRecording> recordMeeting(
    const EchoScenario& scenario, const QTemporaryDir& folder, int delayMs, bool drifting)
{
    PulseServer server;
    if (!server.isReady() || !server.addEcho(delayMs, -10, drifting)) {
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
    if (!playScenario(server, scenario, QLatin1String(PulseServer::callSink))) {
        std::fprintf(stderr, "could not play the meeting\n");
        return std::nullopt;
    }
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
    MeetingRecording recording { readMono(raw), readMono(capture.microphone()),
        echoCpu * 1000 / recorded, captureCpu * 1000 / recorded, 0 };
    const EchoScenario::Stretch far = scenario.farEndOnly;
    const EchoScenario::Stretch near = scenario.nearEndOnly;
    recording.echoDelayMs = 1000
        * (envelopeLag(scenario.callSignal, recording.raw, far.start, far.end, 8)
            - envelopeLag(scenario.localSignal, recording.raw, near.start, near.end, 8));
    return recording;
}
