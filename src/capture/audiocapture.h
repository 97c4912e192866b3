#pragma once

#include "audioloss.h"
#include "audiopermissionhelp.h"
#include "mix/livemix.h"

#include <QCoroTask>
#include <QList>
#include <QString>
#include <functional>
#include <memory>
#include <optional>
#include <stop_token>
#include <vector>

class AudioSource;
class ClockFollower;
class EchoCanceller;
class RecordingLock;
class SpaceReserve;
class TrackCutoff;
class TrackWriter;

// Records one meeting: the microphone into "microphone.caf" and the call (what the desktop plays)
// into "appel.caf", in a fresh private folder (RecordingLocation), then mixes the usable tracks
// into "reunion.m4a". When the disk gives out, both tracks end at the same instant and the stop
// mixes what reached the disk, in space held back for it.
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
        // Why the tracks end before the stop (the disk gave out), or that one could not be closed
        // cleanly, as a French sentence.
        std::optional<QString> interruption;
        std::vector<AudioLoss> losses; // what the inputs could not record while running
        // Seconds of the live feed before the mix's first sample: a call that started first
        // and never carried sound is left out of the mix, not out of the feed.
        double liveFeedLead = 0;
    };

    // A track that holds audio: when its first frame was captured (host-clock seconds) and
    // whether it carries sound.
    struct KeptTrack
    {
        double start = 0;
        bool hasSignal = true;
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
    explicit AudioCapture(Sources sources, LiveMix::Settings liveMix = {});
    ~AudioCapture();
    AudioCapture(const AudioCapture&) = delete;
    AudioCapture& operator=(const AudioCapture&) = delete;

    [[nodiscard]] const QString& folder() const { return m_folder; }
    [[nodiscard]] const QString& microphone() const { return m_microphone; }
    [[nodiscard]] const QString& system() const { return m_system; }
    // Whether the last stop kept the mix made while recording (false: it mixed the tracks).
    [[nodiscard]] bool mixedWhileRecording() const { return m_mixedWhileRecording; }

    // The M4A copy of a track made while recording for the transcription upload, hidden beside
    // it; present only when the recording kept both tracks.
    [[nodiscard]] static QString uploadCopy(const QString& track);
    // The raw microphone the echo canceller holds back while it learns the room, kept on disk
    // beside the track until the track has it; a recovery appends what a crash left there.
    [[nodiscard]] static QString heldMicrophone(const QString& folder);

    // Told, once and from an audio thread, that the disk stopped taking the recording; the
    // sentence says so in French. The recording goes on until stopped. Set before start().
    void setInterruptionHandler(std::function<void(const QString& sentence)> handler);
    // Hands the recording, as it is mixed, to `consumer`, which must outlive this object. Set
    // before start().
    void setLiveConsumer(LiveAudioConsumer* consumer) { m_liveConsumer = consumer; }

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
    // Mixes the kept tracks of a recording folder into its "reunion.m4a" as a stop does: both in
    // step, or the one usable track with the hint of the other. Blocking; throws
    // AudioPermissionHelp::microphone when neither is usable. `mixedAlready`: the mix made while
    // recording is in place, only the result is told.
    static StopResult mixKept(const QString& folder, std::optional<KeptTrack> microphone,
        std::optional<KeptTrack> call, bool mixedAlready = false);

private:
    void startInputs();
    StopResult stopRecording();
    void stopInputs() noexcept;
    void discardFailedStart() noexcept;
    bool finishLiveMix(
        const std::optional<KeptTrack>& microphone, const std::optional<KeptTrack>& call);

    QString m_folder;
    QString m_microphone;
    QString m_system;
    Sources m_sources;
    // Present from a successful start of the call input until the inputs are stopped: what marks
    // the object as recording.
    std::unique_ptr<ClockFollower> m_systemTap;
    std::unique_ptr<ClockFollower> m_microphoneInput;
    std::unique_ptr<TrackWriter> m_micWriter;
    std::unique_ptr<TrackWriter> m_systemWriter;
    std::function<void(const QString&)> m_interrupted;
    std::unique_ptr<RecordingLock> m_lock;
    std::unique_ptr<SpaceReserve> m_reserve;
    std::unique_ptr<TrackCutoff> m_cutoff;
    std::vector<AudioLoss> m_losses; // gathered from the inputs as they are stopped
    LiveMix::Settings m_liveMixSettings;
    LiveAudioConsumer* m_liveConsumer = nullptr;
    std::unique_ptr<LiveFeed> m_liveFeed; // fed by the live mix's thread, so released after it
    std::unique_ptr<LiveMix> m_liveMix; // fed while recording, unless it could not start
    bool m_mixedWhileRecording = false;
    // Feeds the microphone's writer, cutoff and live mix, so released before them.
    // Used by the canceller's thread only; declared first so that it outlives that thread.
    std::unique_ptr<TrackWriter> m_heldWriter;
    std::unique_ptr<EchoCanceller> m_echoCanceller;
};
