#pragma once

#include "audiopermissionhelp.h"

#include <QCoroTask>
#include <QList>
#include <QString>
#include <functional>
#include <memory>
#include <optional>
#include <stop_token>

class AudioSource;
class EchoCanceller;
class TrackWriter;

// Records one meeting: the microphone into "microphone.caf" and the call (what the desktop plays)
// into "appel.caf", in a fresh temporary folder, then mixes the usable tracks into "reunion.m4a".
class AudioCapture
{
public:
    // The two tracks of a recording and where each starts in the mix; the earlier one is at 0.
    struct Tracks
    {
        QString microphone;
        QString system;
        double microphoneOffset = 0;
        double systemOffset = 0;

        friend bool operator==(const Tracks&, const Tracks&) = default;
    };

    struct StopResult
    {
        QString mix;
        std::optional<Tracks> tracks; // only when both tracks went into the mix
        std::optional<AudioPermissionHelp> help; // a hint, not a failure
    };

    // One input of a mixdown: a media file and where it starts, in seconds.
    struct Input
    {
        QString file;
        double offset = 0;
    };

    // Where the two inputs come from. Each opener checks its input and returns it ready to start,
    // or throws; the microphone is opened before anything is created on disk.
    struct Sources
    {
        std::function<std::unique_ptr<AudioSource>()> microphone;
        std::function<std::unique_ptr<AudioSource>()> systemAudio;
    };

    // Records the default microphone and the default output of the sound server.
    AudioCapture();
    // Records from the given inputs instead.
    explicit AudioCapture(Sources sources);
    ~AudioCapture();
    AudioCapture(const AudioCapture&) = delete;
    AudioCapture& operator=(const AudioCapture&) = delete;

    [[nodiscard]] const QString& folder() const { return m_folder; }
    [[nodiscard]] const QString& microphone() const { return m_microphone; }
    [[nodiscard]] const QString& system() const { return m_system; }

    // Both run off the calling thread and resume the caller on its own thread.
    QCoro::Task<void> start();
    QCoro::Task<StopResult> stop();

    // Mixes the inputs, each from its offset, into one AAC .m4a file at `destination`. Blocking and
    // self-contained: call it from a worker thread. A stop request abandons it. Nothing is left at
    // `destination` after a failure.
    static void exportAudio(
        const QList<Input>& inputs, const QString& destination, std::stop_token stop = {});
    static void mix(const QString& microphone, const QString& system, const QString& destination,
        double microphoneOffset = 0, double systemOffset = 0);

private:
    void startInputs();
    StopResult stopRecording();
    void stopInputs() noexcept;

    QString m_folder;
    QString m_microphone;
    QString m_system;
    Sources m_sources;
    // Present from a successful start of the call input until the inputs are stopped: what marks
    // the object as recording.
    std::unique_ptr<AudioSource> m_systemTap;
    std::unique_ptr<AudioSource> m_microphoneInput;
    std::unique_ptr<TrackWriter> m_micWriter;
    std::unique_ptr<TrackWriter> m_systemWriter;
    std::unique_ptr<EchoCanceller> m_echoCanceller; // feeds m_micWriter, so released before it
};
