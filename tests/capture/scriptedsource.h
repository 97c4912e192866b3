#pragma once

#include "audiocapture.h"
#include "audiosource.h"
#include "blockingwait.h"
#include "error.h"

#include <QStringList>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <mutex>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

// What the test sees of a scripted source after the capture object took it over.
struct ScriptLog
{
    std::mutex mutex;
    std::condition_variable changed;
    QStringList events; // "start <name>", "stop <name>", in order
    int sourcesFinished = 0;
    std::vector<double> playing; // seconds delivered by each source in lockstep, until it ends

    void note(const std::string& event)
    {
        const std::lock_guard lock(mutex);
        events << QString::fromStdString(event);
    }
    // Waits until `count` sources have delivered their whole script.
    void waitFinished(int count)
    {
        std::unique_lock lock(mutex);
        changed.wait(lock, [&] { return sourcesFinished >= count; });
    }
    // The events so far, separated by commas.
    [[nodiscard]] QString snapshot()
    {
        const std::lock_guard lock(mutex);
        return events.join(QStringLiteral(", "));
    }
};

// A live source that plays a generated stream of interleaved float buffers on its own thread,
// with host times chosen by the script: `chunks` buffers of `chunkFrames` frames, the first at
// `firstHostTime`, each following the previous one without a gap.
class ScriptedSource final : public AudioSource
{
public:
    struct Script
    {
        std::string name;
        int sampleRate = 48000;
        int channels = 2;
        std::int64_t chunkFrames = 1024;
        std::int64_t chunks = 0;
        std::uint64_t firstHostTime = 0;
        float amplitude = 0.5f; // of a sine; 0 gives digital silence
        double frequency = 440;
        bool noisy = false; // adds white noise, harder to encode
        float noiseLevel = 1; // of the noise, relative to the amplitude
        std::int64_t silentChunks = 0; // the first buffers hold digital silence
        // Keeps within half a second of the other sources in lockstep, as live inputs do, however
        // fast they feed.
        bool lockstep = false;
        // The host times of the buffers after this many jump ahead by `gapSeconds`, as after a
        // stream that stopped delivering for a while (in lockstep, the others play on meanwhile).
        std::int64_t gapAfterChunks = -1;
        double gapSeconds = 0;
        // The reported times run this many ppm fast (negative: slow) against the frame count, as
        // those of a device on a crystal of its own, give or take up to `timeJitter` seconds.
        double drift = 0;
        double timeJitter = 0;
        // A 1 ms click every `clickEvery` seconds of reported time, from `clickAt` on.
        double clickEvery = 0;
        double clickAt = 0;
        bool failToStart = false;
        // Time between buffers; none plays the script as fast as it can.
        std::chrono::microseconds pace { 0 };
    };

    ScriptedSource(Script script, std::shared_ptr<ScriptLog> log)
        : m_script(std::move(script))
        , m_log(std::move(log))
    {
        // Joins the lockstep before any source plays, so that none runs ahead alone.
        if (m_script.lockstep) {
            const std::lock_guard lock(m_log->mutex);
            m_lane = m_log->playing.size();
            m_log->playing.push_back(0);
        }
    }
    ~ScriptedSource() override { stop(); }

    void start(Handler handler) override
    {
        m_log->note("start " + m_script.name);
        if (m_script.failToStart) {
            throw PlatformError(QStringLiteral("Démarrage refusé par le script."));
        }
        m_thread = std::jthread(
            [this, handler = std::move(handler)](std::stop_token stop) { play(handler, stop); });
    }

    void stop() noexcept override
    {
        if (m_thread.joinable()) {
            m_thread.request_stop();
            m_thread.join();
        }
        if (!m_stopped.exchange(true)) {
            m_log->note("stop " + m_script.name);
        }
    }

private:
    void play(const Handler& handler, const std::stop_token& stop)
    {
        const Script& s = m_script;
        std::vector<float> samples(std::size_t(s.chunkFrames * s.channels));
        const double step = 2 * M_PI * s.frequency / s.sampleRate;
        std::int64_t frame = 0;
        std::uint32_t seed = 12345;
        std::uint32_t jitterSeed = 54321;
        const double stretch = 1 + s.drift * 1e-6;
        const auto began = std::chrono::steady_clock::now();
        const std::size_t lane = m_lane;
        for (std::int64_t chunk = 0; chunk < s.chunks && !stop.stop_requested(); ++chunk) {
            const double gap
                = s.gapAfterChunks >= 0 && chunk >= s.gapAfterChunks ? s.gapSeconds : 0;
            if (s.lockstep) {
                // The others play on through the gap.
                keepPace(lane, double(frame) / s.sampleRate * stretch + gap, stop);
            }
            const float amplitude = chunk < s.silentChunks ? 0.0f : s.amplitude;
            for (std::int64_t i = 0; i < s.chunkFrames; ++i, ++frame) {
                float value = amplitude * float(std::sin(step * double(frame)));
                if (s.noisy) {
                    seed = seed * 1664525u + 1013904223u;
                    value += amplitude * s.noiseLevel * (float(seed >> 8) / float(1u << 24) - 0.5f);
                }
                const double time = double(frame) / s.sampleRate * stretch;
                if (s.clickEvery > 0 && time >= s.clickAt
                    && std::fmod(time - s.clickAt, s.clickEvery) < 0.001) {
                    value = 0.9f;
                }
                for (int c = 0; c < s.channels; ++c) {
                    samples[std::size_t(i * s.channels + c)] = value;
                }
            }
            const PcmBuffer buffer { { s.sampleRate, s.channels, SampleType::Float32, true },
                s.chunkFrames,
                { reinterpret_cast<const std::byte*>(samples.data()),
                    samples.size() * sizeof(float) } };
            jitterSeed = jitterSeed * 1664525u + 1013904223u;
            const double jitter = s.timeJitter * (double(jitterSeed >> 8) / double(1u << 23) - 1);
            const auto offset = std::int64_t(
                (double(chunk * s.chunkFrames) / double(s.sampleRate) * stretch + gap + jitter)
                * 1e9);
            handler(buffer, s.firstHostTime + std::uint64_t(offset));
            std::this_thread::sleep_until(began + s.pace * (chunk + 1));
        }
        const std::lock_guard lock(m_log->mutex);
        if (s.lockstep) {
            m_log->playing[lane] = std::numeric_limits<double>::infinity();
        }
        ++m_log->sourcesFinished;
        m_log->changed.notify_all();
    }

    void keepPace(std::size_t lane, double seconds, const std::stop_token& stop)
    {
        std::unique_lock lock(m_log->mutex);
        m_log->playing[lane] = seconds;
        while (!stop.stop_requested()
            && seconds > *std::min_element(m_log->playing.begin(), m_log->playing.end()) + 0.5) {
            lock.unlock();
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            lock.lock();
        }
    }

    Script m_script;
    std::shared_ptr<ScriptLog> m_log;
    std::size_t m_lane = 0;
    std::jthread m_thread;
    std::atomic<bool> m_stopped { false };
};

// A capture's two inputs played from scripts that share one log.
inline AudioCapture::Sources scriptedSources(const ScriptedSource::Script& microphone,
    const ScriptedSource::Script& call, const std::shared_ptr<ScriptLog>& log)
{
    return { [=] { return std::make_unique<ScriptedSource>(microphone, log); },
        [=] {
            return std::make_unique<ScriptedSource>(call, log);
        } };
}

// Where scripts start on the host clock: 1000 s, far from zero.
constexpr std::uint64_t scriptBase = 1'000'000'000'000;

// `seconds` of a tone, the first buffer `delay` seconds after `scriptBase`.
inline ScriptedSource::Script scriptOf(const std::string& name, double delay, double seconds = 0.5,
    int sampleRate = 48000, int channels = 2)
{
    ScriptedSource::Script script { name, sampleRate, channels };
    script.chunks = std::int64_t(seconds * sampleRate) / script.chunkFrames;
    script.firstHostTime = scriptBase + std::uint64_t(delay * 1e9);
    return script;
}

// Starts the capture, lets every source play its script to the end, and stops.
inline AudioCapture::StopResult recordToTheEnd(AudioCapture& capture, ScriptLog& log)
{
    blockingWait(capture.start());
    log.waitFinished(2);
    return blockingWait(capture.stop());
}
