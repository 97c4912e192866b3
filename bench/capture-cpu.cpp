// Benchmark helper for bench/capture-cpu: on a private sound server playing into both sinks,
// records <seconds> of microphone and call through AudioCapture and measures this process's CPU
// time from start() until the inputs are stopped (the mixdown is not recording and is left out),
// then the CPU time of two parec processes recording the same two inputs into CAF files with the
// same 20 ms fragments, and of two parec processes with their default fragments.
// Last line: "capture cpu_ratio=<Parlevox CPU per recorded second / parec's, same fragments>".
#include "audiocapture.h"
#include "blockingwait.h"
#include "error.h"
#include "pulseserver.h"

#include <QCoreApplication>
#include <QFile>
#include <QThread>
#include <cstdio>
#include <cstdlib>
#include <sndfile.h>
#include <sys/resource.h>
#include <unistd.h>

namespace {

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

struct Figure
{
    double cpu = 0;
    double recorded = 0;
    [[nodiscard]] double perSecond() const { return recorded > 0 ? cpu / recorded : 0; }
};

Figure recordWithParec(const PulseServer& server, int seconds, const QStringList& latency)
{
    const QString folder = server.folder();
    const QStringList microphone {
        QStringLiteral("--device=%1").arg(QLatin1String(PulseServer::microphoneSource)),
        QStringLiteral("--format=float32le"), QStringLiteral("--rate=44100"),
        QStringLiteral("--channels=1"), QStringLiteral("--file-format=caf"),
        folder + QStringLiteral("/parec-microphone.caf")
    };
    const QStringList call {
        QStringLiteral("--device=%1.monitor").arg(QLatin1String(PulseServer::callSink)),
        QStringLiteral("--format=float32le"), QStringLiteral("--rate=48000"),
        QStringLiteral("--channels=2"), QStringLiteral("--file-format=caf"),
        folder + QStringLiteral("/parec-appel.caf")
    };
    QProcess first;
    QProcess second;
    first.setProcessEnvironment(server.clientEnvironment());
    second.setProcessEnvironment(server.clientEnvironment());
    first.start(QStringLiteral("parec"), latency + microphone);
    second.start(QStringLiteral("parec"), latency + call);
    first.waitForStarted();
    second.waitForStarted();
    QThread::sleep(seconds);
    Figure figure;
    figure.cpu = cpuSeconds(first.processId()) + cpuSeconds(second.processId());
    first.terminate();
    second.terminate();
    first.waitForFinished();
    second.waitForFinished();
    figure.recorded = trackSeconds(microphone.last());
    return figure;
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
    const double playing = 3.0 * seconds + 20;
    const auto callPlayer = server.play(QLatin1String(PulseServer::callSink),
        server.tone(QStringLiteral("call.wav"), playing, 440, 0.3));
    const auto voicePlayer = server.play(QLatin1String(PulseServer::microphoneSink),
        server.tone(QStringLiteral("voice.wav"), playing, 1000, 0.3, 44100, 1));
    QThread::sleep(1);

    Figure parlevox;
    try {
        AudioCapture capture;
        const double before = cpuSeconds();
        blockingWait(capture.start());
        QThread::sleep(seconds);
        // stop() stops the inputs first; its mixdown is not recording, so time is read here.
        parlevox.cpu = cpuSeconds() - before;
        const AudioCapture::StopResult result = blockingWait(capture.stop());
        parlevox.recorded = trackSeconds(capture.microphone());
        if (!result.tracks) {
            std::fprintf(stderr, "a track is missing\n");
            return 1;
        }
    } catch (const std::exception& error) {
        std::fprintf(stderr, "%s\n", error.what());
        return 1;
    }
    const Figure parec = recordWithParec(server, seconds, { QStringLiteral("--latency-msec=20") });
    const Figure parecDefault = recordWithParec(server, seconds, {});
    callPlayer->kill();
    voicePlayer->kill();
    callPlayer->waitForFinished();
    voicePlayer->waitForFinished();

    std::printf("parlevox: %.3f s CPU for %.1f s recorded (%.5f per second)\n", parlevox.cpu,
        parlevox.recorded, parlevox.perSecond());
    std::printf("two parec, 20 ms fragments: %.3f s CPU for %.1f s recorded (%.5f per second)\n",
        parec.cpu, parec.recorded, parec.perSecond());
    std::printf("two parec, default fragments: %.3f s CPU for %.1f s recorded (%.5f per second), "
                "ratio %.2f\n",
        parecDefault.cpu, parecDefault.recorded, parecDefault.perSecond(),
        parecDefault.perSecond() > 0 ? parlevox.perSecond() / parecDefault.perSecond() : 0);
    if (parec.perSecond() <= 0) {
        std::fprintf(stderr, "parec recorded nothing\n");
        return 1;
    }
    std::printf("capture cpu_ratio=%.2f\n", parlevox.perSecond() / parec.perSecond());
    return 0;
}
