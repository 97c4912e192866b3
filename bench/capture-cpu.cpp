// Benchmark helper for bench/capture-cpu: on a private sound server playing a tone into each sink,
// records <seconds> of microphone and call through AudioCapture, live mix and upload copies
// included, and measures this process's CPU time from start() to the end of stop(); then the CPU
// time of the same work done by standard tools: two parec processes (20 ms fragments) piped into
// one ffmpeg that writes both tracks as CAF and the AAC mix. The two take turns in rounds of about
// 10 s, so that both meet the same load from the rest of the machine.
//
// The tools cancel no echo, so the ratio leaves out the echo canceller's thread, which the call's
// tone keeps busy: its CPU is measured apart and printed on its own line. That thread also writes
// the cancelled microphone into its track and hands it to the live mix; that small share leaves
// the ratio with it. The upload copies, which the tools do not make either, stay in.
// Last line: "capture cpu_ratio=<Parlevox CPU per recorded second without the canceller's thread /
// the tools'> core_percent=<the same as a share of one core>".
#include "audiocapture.h"
#include "blockingwait.h"
#include "error.h"
#include "pulseserver.h"
#include "threadcpu.h"

#include <QCoreApplication>
#include <QFile>
#include <QHash>
#include <QMap>
#include <QThread>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <pthread.h>
#include <sndfile.h>
#include <stdexcept>
#include <sys/resource.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

constexpr const char* cancellerThread = "Parlevox.echo";

double cpuSeconds()
{
    rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec)
        + double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// User and system time of a running child, from /proc.
double cpuSeconds(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly)) {
        return 0;
    }
    const QByteArray line = stat.readAll();
    const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
    // Fields 14 and 15 of the line, counted after the command name.
    return (fields.value(11).toDouble() + fields.value(12).toDouble())
        / double(sysconf(_SC_CLK_TCK));
}

double trackSeconds(const QString& path)
{
    SF_INFO info {};
    SNDFILE* file = sf_open(QFile::encodeName(path).constData(), SFM_READ, &info);
    if (!file) {
        return 0;
    }
    sf_close(file);
    return double(info.frames) / info.samplerate;
}

double ownThreadCpuSeconds()
{
    rusage usage {};
    getrusage(RUSAGE_THREAD, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec)
        + double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// Follows this process's threads while it lives, so that the CPU of a thread that ends (the
// echo canceller's, at the stop) is known up to its last tenth of a second. Its own CPU is kept
// apart too.
class ThreadWatch
{
public:
    ThreadWatch()
        : m_before(sample())
        , m_thread([this] { run(); })
    { }
    ~ThreadWatch() { stop(); }
    ThreadWatch(const ThreadWatch&) = delete;
    ThreadWatch& operator=(const ThreadWatch&) = delete;

    void stop()
    {
        m_stopping = true;
        if (m_thread.joinable()) {
            m_thread.join();
        }
    }

    // CPU seconds used since the watch began, by thread name (after stop()).
    [[nodiscard]] QMap<QByteArray, double> byName() const
    {
        QMap<QByteArray, double> sums;
        for (auto thread = m_last.cbegin(); thread != m_last.cend(); ++thread) {
            const auto before = m_before.constFind(thread.key());
            sums[thread->name]
                += thread->seconds - (before == m_before.cend() ? 0 : before->seconds);
        }
        return sums;
    }
    [[nodiscard]] double ownSeconds() const { return m_ownSeconds; }

private:
    static QHash<int, threadcpu::Thread> sample()
    {
        QHash<int, threadcpu::Thread> threads;
        for (const threadcpu::Thread& thread : threadcpu::threads()) {
            threads.insert(thread.id, thread);
        }
        return threads;
    }

    void run()
    {
        pthread_setname_np(pthread_self(), "bench.watch");
        const double ownBefore = ownThreadCpuSeconds();
        while (true) {
            const bool last = m_stopping;
            for (const threadcpu::Thread& thread : threadcpu::threads()) {
                m_last.insert(thread.id, thread);
            }
            if (last) {
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        m_ownSeconds = ownThreadCpuSeconds() - ownBefore;
        m_last.remove(int(gettid()));
    }

    QHash<int, threadcpu::Thread> m_before;
    QHash<int, threadcpu::Thread> m_last; // the latest figure of every thread seen
    double m_ownSeconds = 0;
    std::atomic<bool> m_stopping { false };
    std::thread m_thread;
};

// A tone at 0.3 over a noise floor about 80 dB below full scale, as a quiet microphone has: a
// sine with no noise at all is no meeting's sound, and it sends AAC encoders down their slowest
// paths. Both sides record the same.
QString toneOverNoiseFloor(
    const QString& path, double seconds, double frequency, int sampleRate, int channels)
{
    SF_INFO info {};
    info.samplerate = sampleRate;
    info.channels = channels;
    info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    SNDFILE* file = sf_open(QFile::encodeName(path).constData(), SFM_WRITE, &info);
    if (!file) {
        return {};
    }
    std::vector<float> frames(std::size_t(sampleRate * channels));
    std::uint32_t seed = 1;
    for (std::int64_t written = 0; written < std::int64_t(seconds * sampleRate);
         written += sampleRate) {
        for (int frame = 0; frame < sampleRate; ++frame) {
            const double tone
                = 0.3 * std::sin(2 * M_PI * frequency * double(written + frame) / sampleRate);
            for (int channel = 0; channel < channels; ++channel) {
                seed = seed * 1664525u + 1013904223u;
                const double noise = 3e-4 * (double(seed >> 8) / double(1u << 24) - 0.5);
                frames[std::size_t(frame * channels + channel)] = float(tone + noise);
            }
        }
        sf_writef_float(file, frames.data(), sampleRate);
    }
    sf_close(file);
    return path;
}

struct Figure
{
    double cpu = 0;
    double recorded = 0;
    [[nodiscard]] double perSecond() const { return recorded > 0 ? cpu / recorded : 0; }
};

// The same work with standard tools: two parec processes recording raw samples into pipes read by
// one ffmpeg, which writes both tracks as CAF and mixes them into AAC.
Figure recordWithTools(const PulseServer& server, int seconds)
{
    const QString folder = server.folder();
    const QString microphonePipe = folder + QStringLiteral("/microphone.pipe");
    const QString callPipe = folder + QStringLiteral("/call.pipe");
    for (const QString& pipe : { microphonePipe, callPipe }) {
        QFile::remove(pipe);
        if (mkfifo(QFile::encodeName(pipe).constData(), 0600) != 0) {
            return {};
        }
    }
    const QString microphoneTrack = folder + QStringLiteral("/tools-microphone.caf");
    QProcess microphone;
    QProcess call;
    QProcess mixer;
    for (QProcess* process : { &microphone, &call, &mixer }) {
        process->setProcessEnvironment(server.clientEnvironment());
    }
    microphone.setStandardOutputFile(microphonePipe);
    call.setStandardOutputFile(callPipe);
    // Opening a pipe waits for its other end: the reader first, then each writer in its order.
    mixer.start(QStringLiteral("ffmpeg"),
        { QStringLiteral("-nostdin"), QStringLiteral("-v"), QStringLiteral("error"),
            QStringLiteral("-y"), QStringLiteral("-f"), QStringLiteral("f32le"),
            QStringLiteral("-ar"), QStringLiteral("44100"), QStringLiteral("-ac"),
            QStringLiteral("1"), QStringLiteral("-i"), microphonePipe, QStringLiteral("-f"),
            QStringLiteral("f32le"), QStringLiteral("-ar"), QStringLiteral("48000"),
            QStringLiteral("-ac"), QStringLiteral("2"), QStringLiteral("-i"), callPipe,
            QStringLiteral("-filter_complex"),
            QStringLiteral("[0]aresample=48000,aformat=channel_layouts=stereo[m];"
                           "[m][1]amix=inputs=2:normalize=0[mix]"),
            QStringLiteral("-map"), QStringLiteral("[mix]"), QStringLiteral("-c:a"),
            QStringLiteral("aac"), folder + QStringLiteral("/tools-reunion.m4a"),
            QStringLiteral("-map"), QStringLiteral("0"), QStringLiteral("-c:a"),
            QStringLiteral("pcm_f32le"), microphoneTrack, QStringLiteral("-map"),
            QStringLiteral("1"), QStringLiteral("-c:a"), QStringLiteral("pcm_f32le"),
            folder + QStringLiteral("/tools-appel.caf") });
    microphone.start(QStringLiteral("parec"),
        { QStringLiteral("--raw"), QStringLiteral("--latency-msec=20"),
            QStringLiteral("--device=%1").arg(QLatin1String(PulseServer::microphoneSource)),
            QStringLiteral("--format=float32le"), QStringLiteral("--rate=44100"),
            QStringLiteral("--channels=1") });
    call.start(QStringLiteral("parec"),
        { QStringLiteral("--raw"), QStringLiteral("--latency-msec=20"),
            QStringLiteral("--device=%1.monitor").arg(QLatin1String(PulseServer::callSink)),
            QStringLiteral("--format=float32le"), QStringLiteral("--rate=48000"),
            QStringLiteral("--channels=2") });
    for (QProcess* process : { &microphone, &call, &mixer }) {
        process->waitForStarted();
    }
    QThread::sleep(seconds);
    Figure figure;
    for (QProcess* process : { &microphone, &call, &mixer }) {
        figure.cpu += cpuSeconds(process->processId());
    }
    microphone.terminate();
    call.terminate();
    for (QProcess* process : { &microphone, &call, &mixer }) {
        process->waitForFinished(60000);
    }
    figure.recorded = trackSeconds(microphoneTrack);
    return figure;
}

// Records `seconds` through AudioCapture; the CPU of the process without the canceller's thread,
// whose CPU is added to `threads` with the others'.
Figure recordWithParlevox(int seconds, QMap<QByteArray, double>& threads)
{
    AudioCapture capture;
    ThreadWatch watch;
    const double before = cpuSeconds();
    blockingWait(capture.start());
    QThread::sleep(seconds);
    // The stop completes the live encoding, so it counts.
    const AudioCapture::StopResult result = blockingWait(capture.stop());
    const double whole = cpuSeconds() - before;
    watch.stop();
    const QMap<QByteArray, double> used = watch.byName();
    for (auto thread = used.cbegin(); thread != used.cend(); ++thread) {
        threads[thread.key()] += *thread;
    }
    if (!result.tracks || !capture.mixedWhileRecording()) {
        throw std::runtime_error("a track or the live mix is missing");
    }
    return { whole - used.value(cancellerThread) - watch.ownSeconds(),
        trackSeconds(capture.microphone()) };
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 30;

    PulseServer server;
    if (!server.isReady()) {
        std::fprintf(stderr, "no private sound server:\n%s\n", qPrintable(server.log()));
        return 1;
    }
    server.makeDefault();
    const double playing = 3.0 * seconds + 40;
    const auto callPlayer = server.play(QLatin1String(PulseServer::callSink),
        toneOverNoiseFloor(server.folder() + QStringLiteral("/call.wav"), playing, 440, 48000, 2));
    const auto voicePlayer = server.play(QLatin1String(PulseServer::microphoneSink),
        toneOverNoiseFloor(
            server.folder() + QStringLiteral("/voice.wav"), playing, 1000, 44100, 1));
    QThread::sleep(1);

    // The two sides take turns, a few seconds each, so that both meet the same load from
    // whatever else the machine runs.
    const int rounds = std::max(1, seconds / 10);
    Figure parlevox;
    Figure tools;
    QMap<QByteArray, double> threads;
    for (int round = 0; round < rounds; ++round) {
        const int length = seconds / rounds;
        try {
            const Figure recorded = recordWithParlevox(length, threads);
            parlevox.cpu += recorded.cpu;
            parlevox.recorded += recorded.recorded;
        } catch (const std::exception& error) {
            std::fprintf(stderr, "%s\n", error.what());
            return 1;
        }
        const Figure recorded = recordWithTools(server, length);
        tools.cpu += recorded.cpu;
        tools.recorded += recorded.recorded;
    }
    const double canceller = threads.value(cancellerThread);
    callPlayer->kill();
    voicePlayer->kill();
    callPlayer->waitForFinished();
    voicePlayer->waitForFinished();

    if (parlevox.recorded <= 0) {
        std::fprintf(stderr, "parlevox recorded nothing\n");
        return 1;
    }
    std::printf("threads, ms per recorded second:");
    for (auto thread = threads.cbegin(); thread != threads.cend(); ++thread) {
        std::printf(" %s=%.1f", thread.key().constData(), 1000 * *thread / parlevox.recorded);
    }
    std::printf(
        "\necho canceller: %.1f ms per recorded second\n", 1000 * canceller / parlevox.recorded);
    std::printf("parlevox without the canceller, recording, live mix and upload copies: %.3f s CPU "
                "for %.1f s recorded (%.5f per second)\n",
        parlevox.cpu, parlevox.recorded, parlevox.perSecond());
    std::printf("two parec into one ffmpeg: %.3f s CPU for %.1f s recorded (%.5f per second)\n",
        tools.cpu, tools.recorded, tools.perSecond());
    if (tools.perSecond() <= 0) {
        std::fprintf(stderr, "the tools recorded nothing\n");
        return 1;
    }
    std::printf("capture cpu_ratio=%.2f core_percent=%.2f\n",
        parlevox.perSecond() / tools.perSecond(), 100 * parlevox.perSecond());
    return 0;
}
