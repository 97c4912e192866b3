// Benchmark helper for bench/live-transcript: <seconds> of a generated meeting (speech-like bursts
// on both inputs, 48 kHz) pushed through LiveFeed into LiveTranscription at <speedup> times real
// time, against the live service stand-in on loopback (its own thread), which says one utterance
// per loud span of each channel. Times the stop until the final transcript is there, counts the
// utterances the stand-in said against the lines shown, and measures the CPU of the live path (the
// feeding thread's pushes and the main thread, where LiveTranscription lives; the stand-in's
// thread is left out). Last line: "live-transcript stop_to_text_s=<n> lost=<n>
// audio_seconds=<seconds> cpu_percent=<n>".
#include "fakelive.h"
#include "livetranscription.h"
#include "mix/livefeed.h"

#include <QCoreApplication>
#include <QThread>
#include <QTimer>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <optional>
#include <thread>
#include <vector>

namespace {

double threadCpuSeconds()
{
    timespec now {};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

// One talker: turns of 1.5–8 s of a voiced sound (a 110–220 Hz fundamental and two harmonics,
// syllables at about 4 Hz, a little noise) between pauses of 0.8–3 s.
class Talker
{
public:
    explicit Talker(std::uint32_t seed)
        : m_seed(seed)
    {
        next();
    }

    void fill(float* out, std::int64_t frames)
    {
        for (std::int64_t i = 0; i < frames; ++i, ++m_at) {
            if (m_at >= m_end) {
                next();
            }
            float sample = 0;
            if (m_talking) {
                const double t = double(m_at) / LiveFeed::inputRate;
                const double syllables = std::abs(std::sin(2 * M_PI * 2.1 * t));
                const double voice = std::sin(2 * M_PI * m_pitch * t)
                    + 0.5 * std::sin(4 * M_PI * m_pitch * t)
                    + 0.25 * std::sin(6 * M_PI * m_pitch * t);
                sample = float(0.3 * syllables * voice);
            }
            out[i] = sample + 0.002f * (float(random() % 2001) / 1000.f - 1.f);
        }
    }

private:
    std::uint32_t random()
    {
        m_seed = m_seed * 1664525u + 1013904223u;
        return m_seed >> 8;
    }
    double uniform(double from, double to) { return from + (to - from) * (random() % 10001) / 1e4; }
    void next()
    {
        m_talking = !m_talking;
        m_pitch = uniform(110, 220);
        const double seconds = m_talking ? uniform(1.5, 8) : uniform(0.8, 3);
        m_end = m_at + std::int64_t(seconds * LiveFeed::inputRate);
    }

    std::uint32_t m_seed;
    std::int64_t m_at = 0;
    std::int64_t m_end = 0;
    bool m_talking = true; // the first call to next() starts with a pause
    double m_pitch = 150;
};

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const double seconds = argc > 1 ? std::atof(argv[1]) : 3600;
    const double speedup = argc > 2 ? std::atof(argv[2]) : 20;

    // The stand-in lives on its own thread, its work apart from the live path's.
    QThread serviceThread;
    QObject there;
    there.moveToThread(&serviceThread);
    serviceThread.start();
    FakeLive* fake = nullptr;
    QMetaObject::invokeMethod(
        &there,
        [&fake] {
            fake = new FakeLive;
            fake->hears = true;
        },
        Qt::BlockingQueuedConnection);
    LiveTranscription::Service service = fake->service();
    service.stopWait = LiveTranscription::Service().stopWait;
    LiveTranscription live(Gladia::Session(), service);
    live.start(QStringLiteral("bench"));

    double feedCpu = 0;
    std::atomic<bool> fed = false;
    std::thread feeder([&] {
        LiveFeed feed(live);
        Talker microphone(1);
        Talker call(2);
        constexpr std::int64_t block = LiveFeed::inputRate / 50; // 20 ms, as the mix hands it on
        std::vector<float> mic(block);
        std::vector<float> other(block);
        const auto began = std::chrono::steady_clock::now();
        const auto blocks = std::int64_t(seconds * LiveFeed::inputRate) / block;
        for (std::int64_t i = 0; i < blocks; ++i) {
            microphone.fill(mic.data(), block);
            call.fill(other.data(), block);
            const double before = threadCpuSeconds();
            feed.push(mic.data(), other.data(), block);
            feedCpu += threadCpuSeconds() - before;
            std::this_thread::sleep_until(began
                + std::chrono::duration<double>(
                    double(i + 1) * block / LiveFeed::inputRate / speedup));
        }
        fed = true;
    });

    const double mainBefore = threadCpuSeconds();
    std::chrono::steady_clock::time_point stopping;
    std::optional<bool> complete;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &app, [&] {
        if (fed && stopping == std::chrono::steady_clock::time_point {}) {
            stopping = std::chrono::steady_clock::now();
            live.stop();
        }
    });
    QObject::connect(&live, &LiveTranscription::failed, &app,
        [](const QString& why) { std::fprintf(stderr, "%s\n", qPrintable(why)); });
    QObject::connect(&live, &LiveTranscription::finished, &app, [&](bool whole) {
        complete = whole;
        app.quit();
    });
    poll.start(5);
    app.exec();
    const auto stopped = std::chrono::steady_clock::now();
    const double mainCpu = threadCpuSeconds() - mainBefore;
    feeder.join();

    int said = 0;
    qint64 heard = 0;
    QMetaObject::invokeMethod(
        fake,
        [&] {
            said = fake->finals;
            heard = fake->audio.size();
            delete fake;
        },
        Qt::BlockingQueuedConnection);
    serviceThread.quit();
    serviceThread.wait();

    const auto shown = live.lines().size();
    std::printf("%d utterances said, %lld shown; %.1f s of stream heard, all acknowledged: %s\n",
        said, static_cast<long long>(shown), double(heard) / LiveTranscription::bytesPerSecond,
        complete.value_or(false) ? "yes" : "no");
    std::printf(
        "CPU: %.2f s feeding (resampling), %.2f s on the main thread, for %.0f s of audio\n",
        feedCpu, mainCpu, seconds);
    std::printf(
        "live-transcript stop_to_text_s=%.3f lost=%lld audio_seconds=%.0f cpu_percent=%.2f\n",
        std::chrono::duration<double>(stopped - stopping).count(),
        static_cast<long long>(said - shown), seconds, 100 * (feedCpu + mainCpu) / seconds);
    return complete.value_or(false) ? 0 : 1;
}
