#pragma once

#include <QString>
#include <QStringList>
#include <optional>

// Where recordings live. Each user has one private folder (0700) on disk,
// "parlevox-recordings-<uid>" in $TMPDIR when it is set and not held in memory (tmpfs, ramfs), else
// in /var/tmp: temporary, yet kept across a reboot so that a recording cut short by a crash or a
// power loss can be recovered, and aged out by the system's own clean-up of /var/tmp. /tmp is left
// alone: it is held in memory on many systems.
namespace RecordingLocation {

// The private folder of this user's recordings (not created).
[[nodiscard]] QString root();
// A fresh recording folder path in root(), named by an upper-case UUID (not created).
[[nodiscard]] QString newFolder();
// Creates a recording folder, and the private folder above it, readable by this user only.
// Throws StorageError, or a CaptureError when the private folder belongs to someone else.
void create(const QString& folder);
// Opens a new file of a recording for writing, readable by this user only; -1 and errno on failure.
[[nodiscard]] int openPrivateFile(const QString& path, bool exclusive = false);

} // namespace RecordingLocation

// Held by whoever writes or mixes a recording folder, so that recovery leaves it alone. The system
// drops the lock when the holder dies, whatever the way.
class RecordingLock
{
public:
    // The folder's lock, or none when another holder has it (or the folder cannot be opened).
    [[nodiscard]] static std::optional<RecordingLock> tryLock(const QString& folder);
    ~RecordingLock();
    RecordingLock(RecordingLock&& other) noexcept;
    RecordingLock& operator=(RecordingLock&&) = delete;
    RecordingLock(const RecordingLock&) = delete;
    RecordingLock& operator=(const RecordingLock&) = delete;

private:
    explicit RecordingLock(int descriptor);
    int m_descriptor;
};

// When each track of a recording began, on the host clock, kept beside the tracks so that a
// recording recovered after a crash is still mixed in step.
namespace TrackStarts {

// Notes that the track `fileName` began at `seconds`, on the disk before it returns (once per
// track, so a short wait is fine on an audio thread); silently skipped when it cannot be written.
void note(const QString& folder, const QString& fileName, double seconds);
// The file the starts are noted in.
[[nodiscard]] QString fileIn(const QString& folder);
// The start noted for `fileName`, if any.
[[nodiscard]] std::optional<double> read(const QString& folder, const QString& fileName);

} // namespace TrackStarts
