// Benchmark helper for bench/alignment: a private sound server whose output is a null sink and
// whose microphone is the LFE channel of that sink's monitor, so that one three-channel sound
// played into it reaches both recorded inputs at the same instant, through no other path. On the
// call's channels a murmur, then a click; on the microphone's, the murmur's echo, then at the
// click's instant a burst of another sound, so that the echo canceller is at work and has no reason
// to take the burst for the call's echo. AudioCapture records it; the positions of the click and
// the burst in the tracks after their offsets give the alignment error, and the echo left before
// them says whether the canceller was at work. Prints one line per run, then "alignment
// error_ms=<largest absolute difference> after_switch_ms=<the same, in runs where the default
// output and microphone move to another device before the click>".
#include "audiocapture.h"
#include "blockingwait.h"
#include "error.h"
#include "pulseserver.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QThread>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <sndfile.h>
#include <vector>

namespace {

constexpr int soundRate = 48000;
constexpr double murmurSeconds = 3.5; // long enough for the canceller to have learnt the room
constexpr float murmurAmplitude = 0.05f;
constexpr float echoGain = 0.2f; // -14 dB, 30 ms late
constexpr int echoDelayFrames = soundRate * 30 / 1000;
constexpr int eventFrames = soundRate * 5 / 1000;
constexpr double eventThreshold = 0.3;

// The three channels of the sound: the call's pair (front left and right) and the microphone's
// (the LFE channel, which neither server mixes into fewer channels).
QString writeSound(const QString& path)
{
    const auto total = std::size_t(soundRate * (murmurSeconds + 0.5));
    const auto event = std::size_t(soundRate * murmurSeconds);
    std::vector<float> call(total, 0.0f);
    std::uint32_t seed = 7;
    for (std::size_t frame = 0; frame < total; ++frame) {
        seed = seed * 1664525u + 1013904223u;
        call[frame] = murmurAmplitude * (2 * float(seed >> 8) / float(1u << 24) - 1);
    }
    std::vector<float> microphone(total, 0.0f);
    for (std::size_t frame = echoDelayFrames; frame < total; ++frame) {
        microphone[frame] = echoGain * call[frame - echoDelayFrames];
    }
    for (std::size_t frame = 0; frame < eventFrames; ++frame) {
        call[event + frame] = 0.9f; // a click
        microphone[event + frame] = (frame / 2) % 2 == 0 ? 0.9f : -0.9f; // a 12 kHz burst
    }
    for (std::size_t frame = event; frame < event + eventFrames; ++frame) {
        microphone[frame + echoDelayFrames] += echoGain * call[frame];
    }
    SF_INFO info { 0, soundRate, 3, SF_FORMAT_WAV | SF_FORMAT_FLOAT, 0, 0 };
    SNDFILE* file = sf_open(QFile::encodeName(path).constData(), SFM_WRITE, &info);
    if (!file) {
        return {};
    }
    std::vector<float> frames(total * 3, 0.0f);
    for (std::size_t frame = 0; frame < total; ++frame) {
        frames[frame * 3] = frames[frame * 3 + 1] = call[frame];
        frames[frame * 3 + 2] = microphone[frame];
    }
    const bool written
        = sf_writef_float(file, frames.data(), sf_count_t(total)) == sf_count_t(total);
    sf_close(file);
    return written ? path : QString();
}

// Where the click or the burst starts in a track, in seconds, and how loud the rest of the track
// was over the second before it (mean square); a negative position when neither is there.
struct Event
{
    double position = -1;
    double powerBefore = 0;
};

Event findEvent(const QString& path)
{
    SF_INFO info {};
    SNDFILE* file = sf_open(QFile::encodeName(path).constData(), SFM_READ, &info);
    if (!file) {
        return {};
    }
    std::vector<float> samples(std::size_t(info.frames * info.channels));
    const sf_count_t frames = sf_readf_float(file, samples.data(), info.frames);
    sf_close(file);
    Event event;
    for (sf_count_t index = 0; index < frames; ++index) {
        const float* frame = samples.data() + index * info.channels;
        if (std::any_of(frame, frame + info.channels,
                [](float sample) { return std::abs(sample) > eventThreshold; })) {
            event.position = double(index) / info.samplerate;
            const sf_count_t from = std::max<sf_count_t>(0, index - info.samplerate);
            const sf_count_t to = std::max<sf_count_t>(from + 1, index - info.samplerate / 10);
            double power = 0;
            for (sf_count_t at = from * info.channels; at < to * info.channels; ++at) {
                power += double(samples[std::size_t(at)]) * samples[std::size_t(at)];
            }
            event.powerBefore = power / double((to - from) * info.channels);
            break;
        }
    }
    return event;
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

constexpr auto soundChannels = "front-left,front-right,lfe";

// An output and the microphone that hears it: a three-channel null sink, and a source that takes
// the LFE channel of its monitor.
struct Device
{
    const char* sink;
    int sinkRate;
    const char* microphone;
    int microphoneRate;
    int microphoneChannels;
};
constexpr Device speaker { "bench_speaker", 48000, "bench_mic", 44100, 1 };
// Another rate on each side, and a stereo microphone.
constexpr Device headset { "bench_headset", 44100, "bench_headset_mic", 48000, 2 };

bool addDevice(const PulseServer& server, const Device& device)
{
    return server.control({ QStringLiteral("load-module"), QStringLiteral("module-null-sink"),
               QStringLiteral("sink_name=%1").arg(QLatin1String(device.sink)),
               QStringLiteral("rate=%1").arg(device.sinkRate), QStringLiteral("channels=3"),
               QStringLiteral("channel_map=%1").arg(QLatin1String(soundChannels)) })
        && server.control({ QStringLiteral("load-module"), QStringLiteral("module-remap-source"),
            QStringLiteral("master=%1.monitor").arg(QLatin1String(device.sink)),
            QStringLiteral("source_name=%1").arg(QLatin1String(device.microphone)),
            QStringLiteral("rate=%1").arg(device.microphoneRate),
            QStringLiteral("channels=%1").arg(device.microphoneChannels),
            QStringLiteral("channel_map=%1")
                .arg(QLatin1String(
                    device.microphoneChannels == 1 ? "mono" : "front-left,front-right")),
            QStringLiteral("master_channel_map=%1")
                .arg(QLatin1String(device.microphoneChannels == 1 ? "lfe" : "lfe,lfe")),
            QStringLiteral("remix=no") });
}

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const int runs = argc > 1 ? std::atoi(argv[1]) : 5;

    PulseServer server;
    const auto makeDefault = [&](const Device& device) {
        return server.control({ QStringLiteral("set-default-sink"), QLatin1String(device.sink) })
            && server.control(
                { QStringLiteral("set-default-source"), QLatin1String(device.microphone) });
    };
    if (!server.isReady() || !addDevice(server, speaker) || !addDevice(server, headset)
        || !makeDefault(speaker)) {
        std::fprintf(stderr, "no private sound server:\n%s\n", qPrintable(server.log()));
        return 1;
    }
    server.makeDefault();
    const QString sound = writeSound(server.folder() + QStringLiteral("/events.wav"));
    if (sound.isEmpty()) {
        std::fprintf(stderr, "could not write the sound\n");
        return 1;
    }
    const auto playSound = [&](const char* sink) {
        QProcess player;
        player.setProcessEnvironment(server.clientEnvironment());
        player.start(QStringLiteral("paplay"),
            { QStringLiteral("--device=%1").arg(QLatin1String(sink)),
                QStringLiteral("--channel-map=%1").arg(QLatin1String(soundChannels)),
                QStringLiteral("--latency-msec=30"), sound });
        return player.waitForFinished(30000) && player.exitCode() == 0;
    };
    const double echoPower = double(echoGain) * echoGain * murmurAmplitude * murmurAmplitude / 3;

    // Plain runs, then as many runs in which the output and the microphone move to the headset
    // mid-recording, before the click.
    double worst = 0;
    double worstAfterSwitch = 0;
    int atWork = 0;
    for (int run = 1; run <= 2 * runs; ++run) {
        const bool switching = run > runs;
        try {
            // Each switched run starts from the first devices (and nothing else touches the
            // server).
            if (switching && !makeDefault(speaker)) {
                std::fprintf(stderr, "could not set the default devices\n");
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
                if (!makeDefault(headset)) {
                    std::fprintf(stderr, "could not switch the default devices\n");
                    return 1;
                }
            }
            // A varying pause, so that runs fall at different points of the servers' cycles.
            QThread::msleep(100 + 37 * run);
            if (!playSound((switching ? headset : speaker).sink)) {
                std::fprintf(stderr, "could not play the sound\n");
                return 1;
            }
            QThread::msleep(300);
            const AudioCapture::StopResult result = blockingWait(capture.stop());
            if (!result.tracks) {
                std::fprintf(stderr, "a track is missing from the mix\n");
                return 1;
            }
            const Event inMicrophone = findEvent(result.tracks->microphone);
            const Event inCall = findEvent(result.tracks->system);
            if (inMicrophone.position < 0 || inCall.position < 0) {
                std::fprintf(stderr, "the click or the burst is missing from a track\n");
                return 1;
            }
            const double error = 1000
                * std::abs((result.tracks->microphoneOffset + inMicrophone.position)
                    - (result.tracks->systemOffset + inCall.position));
            // The echo the microphone heard before the burst, against what is left of it.
            const double echoLeft
                = 10 * std::log10(std::max(inMicrophone.powerBefore, 1e-20) / echoPower);
            const bool cancelling = echoLeft < -6;
            // The new devices may start delivering a while after the switch: that time is a gap
            // in the tracks, not an error.
            double gaps[2] = { 0, 0 };
            for (const AudioLoss& loss : result.losses) {
                gaps[loss.input == AudioLoss::Input::microphone ? 0 : 1] += loss.seconds;
            }
            std::printf(
                "run %d%s: offsets microphone %.4f s call %.4f s, events at %.4f s / %.4f s, "
                "gaps %.3f s / %.3f s, echo before them %+.1f dB (canceller %s), error %.2f ms\n",
                run, switching ? " (switched)" : "", result.tracks->microphoneOffset,
                result.tracks->systemOffset, inMicrophone.position, inCall.position, gaps[0],
                gaps[1], echoLeft, cancelling ? "at work" : "NOT at work", error);
            std::fflush(stdout);
            atWork += cancelling ? 1 : 0;
            (switching ? worstAfterSwitch : worst)
                = std::max(switching ? worstAfterSwitch : worst, error);
        } catch (const std::exception& error) {
            std::fprintf(stderr, "%s\n", error.what());
            return 1;
        }
    }
    std::printf("the echo canceller was at work at the click in %d of %d runs\n", atWork, 2 * runs);
    std::printf("alignment error_ms=%.2f after_switch_ms=%.2f\n", worst, worstAfterSwitch);
    return 0;
}
