#pragma once

#include "audiocapture.h"
#include "track/recordingfolder.h"

#include <QCoroTask>
#include <QDateTime>
#include <QString>
#include <QStringList>
#include <optional>

// Recordings left without their mix by a crash, a kill or a power loss: their tracks are on disk,
// kept readable while they were written, and are mixed afterwards as a stop would have. Nothing
// is deleted; a recording whose tracks cannot be mixed is marked and not tried again. A recovered
// recording stays unfinished until it is opened (markOpened), so that none is lost unseen.
namespace RecordingRecovery {

struct Recovered
{
    QString folder;
    QDateTime lastWritten; // when its tracks were last written to
    AudioCapture::StopResult result;
};

// This user's recording folders holding a track but no mix (or a recovered mix never opened),
// which nobody is recording into and no earlier recovery gave up on; the most recently written
// first.
[[nodiscard]] QStringList unfinished(const QStringList& roots = { RecordingLocation::root() });

// Mixes the most recent unfinished recording that can be mixed, marking those that cannot.
// Blocking. None when there was nothing to recover (a full disk leaves the recording for later).
[[nodiscard]] std::optional<Recovered> recoverLatest(
    const QStringList& roots = { RecordingLocation::root() });

// The same, off the calling thread.
[[nodiscard]] QCoro::Task<std::optional<Recovered>> recoverLatestInBackground();

// The mark left in a folder whose tracks could not be mixed.
[[nodiscard]] QString failureMarkIn(const QString& folder);

// The recovered recording in `folder` was opened: later launches leave it alone.
void markOpened(const QString& folder);

} // namespace RecordingRecovery
