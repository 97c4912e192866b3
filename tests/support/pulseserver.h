#pragma once

#include <QByteArray>
#include <QMap>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

// A private sound server for one test: its own runtime folder and socket, a null sink
// "parlevox_call" as the default sink (the call), and a null sink "parlevox_mic_in" whose monitor
// is remapped to the mono source "parlevox_mic", the default source (the microphone).
// Signals played into the sinks come out of the call's monitor and of the microphone.
// It is a PulseAudio daemon, or a PipeWire stack (PipeWire, WirePlumber, its PulseAudio server
// and a session bus of its own) when PARLEVOX_SOUND_SERVER is "pipewire".
class PulseServer
{
public:
    enum class Kind
    {
        pulseAudio,
        pipeWire,
    };
    enum class Access
    {
        anonymous, // any local client may connect
        cookie, // clients reach it over TCP on 127.0.0.1 and must present its cookie
    };

    explicit PulseServer(Access access = Access::anonymous);
    ~PulseServer();
    PulseServer(const PulseServer&) = delete;
    PulseServer& operator=(const PulseServer&) = delete;

    static constexpr auto callSink = "parlevox_call";
    static constexpr auto microphoneSink = "parlevox_mic_in";
    static constexpr auto microphoneSource = "parlevox_mic";
    // A second output and input, as a headset plugged in mid-meeting brings (see addHeadset()).
    static constexpr auto headsetSink = "parlevox_headset";
    static constexpr auto headsetMicrophoneSink = "parlevox_headset_mic_in";
    static constexpr auto headsetMicrophone = "parlevox_headset_mic";

    // The server PARLEVOX_SOUND_SERVER chooses.
    [[nodiscard]] static Kind chosenKind();
    [[nodiscard]] Kind kind() const { return m_kind; }
    // PipeWire's PulseAudio server lets any client in, cookie or not.
    [[nodiscard]] bool checksCookies() const { return m_kind == Kind::pulseAudio; }
    // Whether a pipe source runs on the clock of whoever writes into it: PipeWire's follows its
    // graph's clock, and what is written faster is left unread.
    [[nodiscard]] bool pipeSourceKeepsWritersClock() const { return m_kind == Kind::pulseAudio; }
    // The rate of the microphone: PipeWire keeps a remapped source at its own 48 kHz.
    [[nodiscard]] static int microphoneRateOf(Kind kind)
    {
        return kind == Kind::pulseAudio ? 44100 : 48000;
    }
    [[nodiscard]] int microphoneRate() const { return microphoneRateOf(m_kind); }

    // The name the server gives itself, "PulseAudio (on PipeWire 0.3.65)" for instance.
    [[nodiscard]] QString name() const;

    // Whether the daemon came up; `log()` says why not.
    [[nodiscard]] bool isReady() const { return m_ready; }
    [[nodiscard]] QString log() const;
    // The folder of its socket, cookie and whatever the test writes there.
    [[nodiscard]] QString folder() const { return m_folder.path(); }

    // Points the libpulse clients of this process and of its children at this daemon, with the
    // right cookie or a wrong one.
    void makeDefault(bool rightCookie = true) const;
    // The environment a child process needs to reach this daemon.
    [[nodiscard]] QProcessEnvironment clientEnvironment(bool rightCookie = true) const;

    // Runs pactl against the daemon; true when it succeeded.
    bool control(const QStringList& arguments) const;
    // A record stream as pactl lists it: its index, the name of the source it records and its
    // properties.
    struct RecordStream
    {
        QByteArray index;
        QByteArray source;
        QMap<QByteArray, QString> properties;
    };
    // pactl 16 lists properties with non-ASCII characters as "(null)" in JSON: this reads its text.
    [[nodiscard]] std::vector<RecordStream> recordStreams() const;
    // Makes the microphone hear what is played into the call sink, `delayMs` late and `gainDb`
    // louder (negative: quieter), as a loudspeaker near the microphone would: at a fixed delay,
    // as when both share a sound card's clock, or, `drifting`, at one that wanders by a
    // millisecond or two, as between devices with clocks of their own.
    bool addEcho(int delayMs, double gainDb, bool drifting = false) const;
    // Starts playing a sound file into `sink`; the process ends when the sound has been played.
    // A short latency, as calls use, keeps a null sink from sleeping for seconds between blocks
    // (it would answer a newly connected recorder that late); 0 is the player's own default.
    [[nodiscard]] std::unique_ptr<QProcess> play(
        const QString& sink, const QString& file, int latencyMs = 30) const;
    // Plays each sound file into its sink, all starting together, and waits until all have been
    // played.
    struct Sound
    {
        QString sink;
        QString file;
    };
    bool playTogether(const std::vector<Sound>& sounds, int latencyMs = 30) const;

    // Writes a WAV file of a sine tone (or silence when `amplitude` is 0) into the folder.
    [[nodiscard]] QString tone(const QString& name, double seconds, double frequency,
        double amplitude, int sampleRate = 48000, int channels = 2) const;
    // Writes a WAV file of `silenceBefore` seconds of silence, `count` 5 ms full-scale clicks
    // `every` seconds, and one second of silence.
    [[nodiscard]] QString click(const QString& name, double silenceBefore, int sampleRate = 48000,
        int channels = 2, int count = 1, double every = 1) const;

    // Ends the server's processes at once (SIGKILL), as a crashing sound server would.
    void kill();
    // Kills the daemon and starts it again on the same socket, with its first devices only;
    // true once it answers.
    bool restart();
    // Adds a headset: the sink "parlevox_headset" (mono, 44.1 kHz) and the stereo 48 kHz source
    // "parlevox_headset_mic", fed by the sink "parlevox_headset_mic_in". Defaults stay as they are.
    [[nodiscard]] bool addHeadset() const;
    // Brings the microphone back, as it was at the start, once its module was unloaded.
    [[nodiscard]] bool plugMicrophone() const;

private:
    bool launch();
    bool launchPulseAudio();
    bool launchPipeWire();
    // Starts one process of the server, its output appended to the log.
    QProcess& spawn(const QString& program, const QStringList& arguments);
    // Waits until `ready` holds while every process runs.
    bool waitUntil(const std::function<bool()>& ready, int milliseconds) const;
    [[nodiscard]] QProcessEnvironment serverEnvironment() const;
    [[nodiscard]] QProcessEnvironment controlEnvironment() const;
    // pactl's output, or nothing when it failed.
    [[nodiscard]] std::optional<QByteArray> pactl(const QStringList& arguments) const;
    // Writes a float WAV file into the folder, the same sample on every channel; its path, or
    // nothing when it could not be written.
    [[nodiscard]] QString writeWav(const QString& name, qsizetype frames, int sampleRate,
        int channels, const std::function<float(qsizetype)>& sampleAt) const;

    Kind m_kind = chosenKind();
    QTemporaryDir m_folder;
    // The PipeWire stack: its first devices, loaded through pactl at each start.
    QStringList m_devices;
    std::vector<std::unique_ptr<QProcess>> m_processes;
    QByteArray m_address; // what libpulse clients use: "unix:…" or "tcp:127.0.0.1:…"
    QByteArray m_controlAddress;
    bool m_ready = false;
};
