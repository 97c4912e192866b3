#include "pulseserver.h"

#include "recordedaudio.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QRandomGenerator>
#include <QTcpServer>
#include <QThread>
#include <algorithm>
#include <cmath>

namespace {

// A device's format as module arguments; a remapping one takes its master's channels as they are.
QString format(int rate, int channels, bool remapping = false)
{
    const QString map
        = channels == 1 ? QStringLiteral("mono") : QStringLiteral("front-left,front-right");
    return QStringLiteral("rate=%1 channels=%2 channel_map=%3").arg(rate).arg(channels).arg(map)
        + (remapping ? QStringLiteral(" master_channel_map=") + map : QString());
}

// A sink of the test server at `rate`. PulseAudio's null sink adds up the time of what it renders
// piece by piece in whole microseconds, so at 44.1 or 48 kHz it runs up to 300 ppm fast of the
// host's clock once a low-latency stream (the echo's loopback) makes it render in small pieces: a
// recording would hold two devices on two clocks. So there the sink is a remapping one over a
// null sink at 50 kHz, whose frames last 20 µs each and which keeps the host's clock.
QStringList sinkModules(PulseServer::Kind kind, QLatin1String name, int rate, int channels)
{
    const QString nullSink = QStringLiteral("load-module module-null-sink sink_name=%1 %2");
    if (kind == PulseServer::Kind::pipeWire) {
        return { nullSink.arg(name, format(rate, channels)) };
    }
    const QString clock = name + QStringLiteral("_clock");
    return { nullSink.arg(clock, format(50000, channels)),
        QStringLiteral("load-module module-remap-sink sink_name=%1 master=%2 %3 remix=no")
            .arg(name, clock, format(rate, channels, true)) };
}

// A source of the test server: the monitor of its sink, as a source of its own.
QString sourceModule(QLatin1String sink, QLatin1String name, int rate, int channels)
{
    return QStringLiteral("load-module module-remap-source master=%1.monitor source_name=%2 %3")
        .arg(sink, name, format(rate, channels, true));
}

quint16 freeLoopbackPort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

bool writeFile(const QString& path, const QByteArray& content)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
}

} // namespace

PulseServer::Kind PulseServer::chosenKind()
{
    return qgetenv("PARLEVOX_SOUND_SERVER") == "pipewire" ? Kind::pipeWire : Kind::pulseAudio;
}

PulseServer::PulseServer(Access access)
{
    const QString dir = m_folder.path();
    const QString cookie = m_folder.filePath(QStringLiteral("cookie"));
    QByteArray secret(256, '\0');
    QRandomGenerator::global()->fillRange(reinterpret_cast<quint32*>(secret.data()), 64);
    if (!m_folder.isValid() || !writeFile(cookie, secret)) {
        return;
    }
    // PipeWire's server too makes its socket there, told by PULSE_RUNTIME_PATH.
    const QString socket = dir + QStringLiteral("/native");
    m_controlAddress = "unix:" + QFile::encodeName(socket);
    m_address = m_controlAddress;
    m_devices = sinkModules(m_kind, QLatin1String(callSink), 48000, 2)
        + sinkModules(m_kind, QLatin1String(microphoneSink), microphoneRate(), 1)
        + QStringList {
              sourceModule(QLatin1String(microphoneSink), QLatin1String(microphoneSource),
                  microphoneRate(), 1),
              QStringLiteral("set-default-sink %1").arg(QLatin1String(callSink)),
              QStringLiteral("set-default-source %1").arg(QLatin1String(microphoneSource)),
          };
    if (access == Access::cookie) {
        // On PulseAudio the local socket lets a client of the same user in without a cookie, so
        // the cookie check needs the TCP transport.
        const quint16 port = freeLoopbackPort();
        m_devices << QStringLiteral("load-module module-native-protocol-tcp listen=127.0.0.1 "
                                    "port=%1 auth-anonymous=0 auth-cookie-enabled=1 auth-cookie=%2")
                         .arg(port)
                         .arg(cookie);
        m_address = "tcp:127.0.0.1:" + QByteArray::number(port);
    }
    // On PulseAudio, as on a desktop, the levels the mixer gave an application's streams apply to
    // its next ones (WirePlumber does so too). On PipeWire, only the devices of the test: no sound
    // card, camera or Bluetooth device of the machine; and as PulseAudio does, a stream's LFE
    // channel is left out where it meets fewer channels.
    const bool configured = m_kind == Kind::pulseAudio
        ? writeFile(dir + QStringLiteral("/default.pa"),
            (QStringLiteral("load-module module-native-protocol-unix auth-anonymous=1 socket=%1\n"
                            "load-module module-stream-restore\n")
                    .arg(socket)
                + m_devices.join(QLatin1Char('\n')) + QLatin1Char('\n'))
                .toUtf8())
        : writeFile(dir + QStringLiteral("/config/wireplumber/main.lua.d/51-private.lua"),
              "alsa_monitor.enabled = false\nv4l2_monitor.enabled = false\n"
              "libcamera_monitor.enabled = false\n")
            && writeFile(dir + QStringLiteral("/config/wireplumber/bluetooth.lua.d/51-private.lua"),
                "bluez_monitor.enabled = false\n")
            && writeFile(
                dir + QStringLiteral("/config/pipewire/pipewire-pulse.conf.d/51-private.conf"),
                "stream.properties = { channelmix.mix-lfe = false }\n");
    if (configured) {
        launch();
    }
}

QProcessEnvironment PulseServer::serverEnvironment() const
{
    const QString dir = m_folder.path();
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("HOME"), dir);
    environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), dir);
    environment.insert(QStringLiteral("XDG_CONFIG_HOME"), dir + QStringLiteral("/config"));
    // WirePlumber remembers defaults and stream targets there.
    environment.insert(QStringLiteral("XDG_STATE_HOME"), dir + QStringLiteral("/state"));
    environment.insert(QStringLiteral("PULSE_RUNTIME_PATH"), dir);
    environment.insert(QStringLiteral("PULSE_STATE_PATH"), dir + QStringLiteral("/state"));
    environment.remove(QStringLiteral("PULSE_SERVER"));
    environment.remove(QStringLiteral("PIPEWIRE_REMOTE"));
    environment.remove(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"));
    if (m_kind == Kind::pipeWire) {
        environment.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"),
            QStringLiteral("unix:path=") + dir + QStringLiteral("/bus"));
    }
    return environment;
}

QProcess& PulseServer::spawn(const QString& program, const QStringList& arguments)
{
    auto& process = *m_processes.emplace_back(std::make_unique<QProcess>());
    process.setProcessEnvironment(serverEnvironment());
    // Into a file: an unread pipe would fill up and stall the server.
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.setStandardOutputFile(
        m_folder.filePath(QStringLiteral("daemon.log")), QIODevice::Append);
    process.start(program, arguments);
    process.waitForStarted(5000);
    return process;
}

bool PulseServer::waitUntil(const std::function<bool()>& ready, int milliseconds) const
{
    const QDeadlineTimer deadline(milliseconds);
    while (!deadline.hasExpired()) {
        for (const auto& process : m_processes) {
            if (process->state() != QProcess::Running) {
                return false;
            }
        }
        if (ready()) {
            return true;
        }
        QThread::msleep(50);
    }
    return false;
}

bool PulseServer::launch()
{
    m_ready = m_kind == Kind::pulseAudio ? launchPulseAudio() : launchPipeWire();
    return m_ready;
}

bool PulseServer::launchPulseAudio()
{
    const QString dir = m_folder.path();
    // -n: no default script, only the modules above; --system=false lets it run as root.
    spawn(QStringLiteral("pulseaudio"),
        QStringLiteral("-n --daemonize=no --exit-idle-time=-1 --use-pid-file=no --system=false "
                       "--disallow-module-loading=no --log-target=stderr --log-level=info -F")
                .split(u' ')
            << dir + QStringLiteral("/default.pa"));
    return waitUntil([&] { return control({ QStringLiteral("info") }); }, 10000);
}

bool PulseServer::launchPipeWire()
{
    const QString bus = m_folder.filePath(QStringLiteral("bus"));
    QFile::remove(bus);
    // WirePlumber ends at once without a session bus.
    spawn(QStringLiteral("dbus-daemon"),
        { QStringLiteral("--session"), QStringLiteral("--nofork"),
            QStringLiteral("--address=unix:path=") + bus });
    if (!waitUntil([&] { return QFile::exists(bus); }, 5000)) {
        return false;
    }
    // Its clients give up when its socket is not there yet, or is the one a killed server left.
    const QString socket = m_folder.filePath(QStringLiteral("pipewire-0"));
    QFile::remove(socket);
    spawn(QStringLiteral("pipewire"), {});
    if (!waitUntil([&] { return QFile::exists(socket); }, 5000)) {
        return false;
    }
    spawn(QStringLiteral("wireplumber"), {});
    spawn(QStringLiteral("pipewire-pulse"), {});
    if (!waitUntil([&] { return control({ QStringLiteral("info") }); }, 10000)) {
        return false;
    }
    for (const QString& command : std::as_const(m_devices)) {
        if (!control(command.split(u' '))) {
            return false;
        }
    }
    // Ready once WirePlumber has taken the defaults the test asked for.
    const auto isDefault = [&](const QString& kind, const char* name) {
        return pactl({ QStringLiteral("get-default-") + kind }).value_or(QByteArray()).trimmed()
            == name;
    };
    return waitUntil(
        [&] {
            return isDefault(QStringLiteral("sink"), callSink)
                && isDefault(QStringLiteral("source"), microphoneSource);
        },
        10000);
}

bool PulseServer::restart()
{
    kill();
    return launch();
}

bool PulseServer::addHeadset() const
{
    const QStringList modules = sinkModules(m_kind, QLatin1String(headsetSink), 44100, 1)
        + sinkModules(m_kind, QLatin1String(headsetMicrophoneSink), 48000, 2)
        + QStringList { sourceModule(
            QLatin1String(headsetMicrophoneSink), QLatin1String(headsetMicrophone), 48000, 2) };
    return std::all_of(modules.begin(), modules.end(),
        [this](const QString& module) { return control(module.split(u' ')); });
}

bool PulseServer::plugMicrophone() const
{
    return control(sourceModule(
        QLatin1String(microphoneSink), QLatin1String(microphoneSource), microphoneRate(), 1)
                       .split(u' '));
}

PulseServer::~PulseServer()
{
    kill();
}

QString PulseServer::log() const
{
    QFile file(m_folder.filePath(QStringLiteral("daemon.log")));
    return file.open(QIODevice::ReadOnly) ? QString::fromLocal8Bit(file.readAll()) : QString();
}

QProcessEnvironment PulseServer::clientEnvironment(bool rightCookie) const
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("PULSE_SERVER"), QString::fromUtf8(m_address));
    environment.insert(QStringLiteral("PULSE_COOKIE"),
        m_folder.filePath(rightCookie ? QStringLiteral("cookie") : QStringLiteral("wrong.cookie")));
    return environment;
}

void PulseServer::makeDefault(bool rightCookie) const
{
    if (!rightCookie) {
        writeFile(m_folder.filePath(QStringLiteral("wrong.cookie")), QByteArray(256, 'x'));
    }
    const QProcessEnvironment environment = clientEnvironment(rightCookie);
    for (const QString& name : { QStringLiteral("PULSE_SERVER"), QStringLiteral("PULSE_COOKIE") }) {
        qputenv(name.toLatin1().constData(), environment.value(name).toLocal8Bit());
    }
}

QProcessEnvironment PulseServer::controlEnvironment() const
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("PULSE_SERVER"), QString::fromUtf8(m_controlAddress));
    return environment;
}

std::optional<QByteArray> PulseServer::pactl(const QStringList& arguments) const
{
    QProcess pactl;
    pactl.setProcessEnvironment(controlEnvironment());
    pactl.start(QStringLiteral("pactl"), arguments);
    const bool ran = pactl.waitForFinished(10000) && pactl.exitStatus() == QProcess::NormalExit
        && pactl.exitCode() == 0;
    return ran ? std::optional(pactl.readAllStandardOutput()) : std::nullopt;
}

QString PulseServer::name() const
{
    const QByteArray info = pactl({ QStringLiteral("info") }).value_or(QByteArray());
    for (const QByteArray& line : info.split('\n')) {
        if (line.startsWith("Server Name: ")) {
            return QString::fromUtf8(line.mid(13));
        }
    }
    return {};
}

bool PulseServer::control(const QStringList& arguments) const
{
    return pactl(arguments).has_value();
}

std::vector<PulseServer::RecordStream> PulseServer::recordStreams() const
{
    const auto list = [&](const QString& what) {
        return pactl(what.split(u' ')).value_or(QByteArray()).split('\n');
    };
    QHash<QByteArray, QByteArray> sources;
    for (const QByteArray& line : list(QStringLiteral("list short sources"))) {
        const QList<QByteArray> fields = line.split('\t');
        if (fields.size() > 1) {
            sources.insert(fields[0], fields[1]);
        }
    }
    std::vector<RecordStream> streams;
    for (const QByteArray& line : list(QStringLiteral("list source-outputs"))) {
        const QByteArray field = line.trimmed();
        if (field.startsWith("Source Output #")) {
            streams.push_back({ field.mid(15), {}, {} });
        } else if (streams.empty()) {
            continue;
        } else if (field.startsWith("Source: ")) {
            streams.back().source = sources.value(field.mid(8));
        } else if (const qsizetype equals = field.indexOf(" = \""); equals > 0) {
            streams.back().properties.insert(
                field.left(equals), QString::fromUtf8(field.mid(equals + 4).chopped(1)));
        }
    }
    return streams;
}

bool PulseServer::addEcho(int delayMs, double gainDb, bool drifting) const
{
    // The loopback holds its latency by adjusting its rate, which makes the delay wander;
    // without that, it stays where it started.
    const QByteArray module
        = pactl(QStringLiteral("load-module module-loopback source=%1.monitor sink=%2 "
                               "latency_msec=%3 adjust_time=%4 source_dont_move=true "
                               "sink_dont_move=true")
                    .arg(QLatin1String(callSink), QLatin1String(microphoneSink))
                    .arg(delayMs)
                    .arg(drifting ? 10 : 0)
                    .split(u' '))
              .value_or(QByteArray())
              .trimmed();
    if (module.isEmpty()) {
        return false;
    }
    // The loopback's playback is the sink input that its module owns.
    const QByteArray inputs
        = pactl({ QStringLiteral("list"), QStringLiteral("sink-inputs") }).value_or(QByteArray());
    QByteArray input;
    for (const QByteArray& line : inputs.split('\n')) {
        const QByteArray field = line.trimmed();
        if (field.startsWith("Sink Input #")) {
            input = field.mid(12);
        } else if (field == "Owner Module: " + module && !input.isEmpty()) {
            return control({ QStringLiteral("set-sink-input-volume"), QString::fromLatin1(input),
                QStringLiteral("%1dB").arg(gainDb) });
        }
    }
    return false;
}

std::unique_ptr<QProcess> PulseServer::play(
    const QString& sink, const QString& file, int latencyMs) const
{
    auto player = std::make_unique<QProcess>();
    player->setProcessEnvironment(controlEnvironment());
    QStringList arguments { QStringLiteral("--device=") + sink, file };
    if (latencyMs > 0) {
        arguments.prepend(QStringLiteral("--latency-msec=%1").arg(latencyMs));
    }
    player->start(QStringLiteral("paplay"), arguments);
    return player;
}

QString PulseServer::writeWav(const QString& name, qsizetype frames, int sampleRate, int channels,
    const std::function<float(qsizetype)>& sampleAt) const
{
    std::vector<float> samples(std::size_t(frames * channels));
    for (qsizetype frame = 0; frame < frames; ++frame) {
        std::fill_n(samples.begin() + frame * channels, channels, sampleAt(frame));
    }
    const QString path = m_folder.filePath(name);
    return writeFloatWav(path, samples, sampleRate, channels) ? path : QString();
}

QString PulseServer::tone(const QString& name, double seconds, double frequency, double amplitude,
    int sampleRate, int channels) const
{
    return writeWav(
        name, qsizetype(seconds * sampleRate), sampleRate, channels, [&](qsizetype frame) {
            return float(amplitude * std::sin(2 * M_PI * frequency * double(frame) / sampleRate));
        });
}

QString PulseServer::click(const QString& name, double silenceBefore, int sampleRate, int channels,
    int count, double every) const
{
    const auto before = qsizetype(silenceBefore * sampleRate);
    const auto clickFrames = qsizetype(0.005 * sampleRate);
    const auto period = qsizetype(every * sampleRate);
    const qsizetype last = before + (count - 1) * period;
    return writeWav(
        name, last + clickFrames + sampleRate, sampleRate, channels, [&](qsizetype frame) {
            const qsizetype into = frame - before;
            return into >= 0 && frame <= last + clickFrames && into % period < clickFrames ? 0.9f
                                                                                           : 0.0f;
        });
}

void PulseServer::kill()
{
    // By process id, the PulseAudio server first: its clients see it go as they would a crash.
    for (auto process = m_processes.rbegin(); process != m_processes.rend(); ++process) {
        if ((*process)->state() != QProcess::NotRunning) {
            (*process)->kill();
            (*process)->waitForFinished(5000);
        }
    }
    m_processes.clear();
}
