#pragma once

#include "audiopermissionhelp.h"

#include <QCoroTask>
#include <QList>
#include <QString>
#include <optional>
#include <stop_token>

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

    AudioCapture();
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
    QString m_folder;
    QString m_microphone;
    QString m_system;
};
