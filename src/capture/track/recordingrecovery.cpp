#include "track/recordingrecovery.h"

#include "background.h"
#include "platformtext.h"
#include "track/spacereserve.h"
#include "track/trackwriter.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QUuid>
#include <algorithm>
#include <sndfile.h>
#include <unistd.h>
#include <vector>

namespace {

const QString microphoneName = QStringLiteral("microphone.caf");
const QString callName = QStringLiteral("appel.caf");
const QString mixName = QStringLiteral("reunion.m4a");
// Beside a mix that a recovery made and nobody has opened yet.
const QString unopenedName = QStringLiteral(".recovered-unopened");

QDateTime lastWritten(const QString& folder)
{
    QDateTime latest;
    for (const QString& name : { microphoneName, callName }) {
        const QFileInfo track(QDir(folder).filePath(name));
        if (track.exists() && (!latest.isValid() || track.lastModified() > latest)) {
            latest = track.lastModified();
        }
    }
    return latest;
}

bool isUnfinished(const QFileInfo& entry)
{
    const QDir folder(entry.filePath());
    return entry.isDir() && !entry.isSymLink() && entry.ownerId() == getuid()
        && !QUuid::fromString(entry.fileName()).isNull()
        && (folder.exists(microphoneName) || folder.exists(callName))
        && (!folder.exists(mixName) || folder.exists(unopenedName))
        && !QFileInfo::exists(RecordingRecovery::failureMarkIn(entry.filePath()));
}

// What the echo canceller still held back when the recording ended short goes at the end of the
// microphone track, where it belongs: nothing after it was written. Left in place when it cannot.
void appendHeldMicrophone(const QString& folder)
{
    const QString held = AudioCapture::heldMicrophone(folder);
    const QString track = QDir(folder).filePath(microphoneName);
    if (!QFileInfo::exists(held) || (!QFileInfo::exists(track) && QFile::rename(held, track))) {
        return;
    }
    SF_INFO heldInfo {};
    SNDFILE* in = sf_open(QFile::encodeName(held).constData(), SFM_READ, &heldInfo);
    SF_INFO trackInfo {};
    SNDFILE* out = sf_open(QFile::encodeName(track).constData(), SFM_RDWR, &trackInfo);
    bool complete = in && out && heldInfo.channels == trackInfo.channels
        && heldInfo.samplerate == trackInfo.samplerate && sf_seek(out, 0, SEEK_END) >= 0;
    std::vector<float> samples(std::size_t(4096 * std::max(1, heldInfo.channels)));
    sf_count_t read = 0;
    while (complete && (read = sf_readf_float(in, samples.data(), 4096)) > 0) {
        complete = sf_writef_float(out, samples.data(), read) == read;
    }
    if (in) {
        sf_close(in);
    }
    if (out) {
        complete = sf_close(out) == 0 && complete;
    }
    if (complete) {
        QFile::remove(held);
    }
}

// A track as a stop would have kept it: some audio, its start, and for the call whether it
// carries sound. None when the file is missing, empty or unreadable.
std::optional<AudioCapture::KeptTrack> keptTrack(
    const QString& folder, const QString& name, bool checkSignal)
{
    SF_INFO info {};
    SNDFILE* file
        = sf_open(QFile::encodeName(QDir(folder).filePath(name)).constData(), SFM_READ, &info);
    if (!file) {
        return std::nullopt;
    }
    AudioCapture::KeptTrack kept { TrackStarts::read(folder, name).value_or(0), !checkSignal };
    std::vector<float> samples(std::size_t(4096 * std::max(1, info.channels)));
    sf_count_t read = 0;
    sf_count_t total = 0;
    while (!kept.hasSignal && (read = sf_readf_float(file, samples.data(), 4096)) > 0) {
        total += read;
        const PcmBuffer buffer { { info.samplerate, info.channels, SampleType::Float32, true },
            read,
            { reinterpret_cast<const std::byte*>(samples.data()),
                std::size_t(read * info.channels) * sizeof(float) } };
        kept.hasSignal = TrackWriter::containsSignal(buffer);
    }
    sf_close(file);
    if (info.frames <= 0 && total == 0) {
        return std::nullopt;
    }
    return kept;
}

void mark(const QString& path)
{
    const int descriptor = RecordingLocation::openPrivateFile(path);
    if (descriptor >= 0) {
        ::close(descriptor);
    }
}

// Whether this failure will pass by itself (a full disk), so the recording is tried again later.
bool passing(const std::exception_ptr& failure)
{
    try {
        std::rethrow_exception(failure);
    } catch (const StorageError& error) {
        return error.diskFull();
    } catch (...) {
        return false;
    }
}

} // namespace

namespace RecordingRecovery {

QString failureMarkIn(const QString& folder)
{
    return QDir(folder).filePath(QStringLiteral(".recovery-failed"));
}

void markOpened(const QString& folder)
{
    QFile::remove(QDir(folder).filePath(unopenedName));
}

QStringList unfinished(const QStringList& roots)
{
    std::vector<std::pair<QDateTime, QString>> found;
    for (const QString& root : roots) {
        const QFileInfoList entries
            = QDir(root).entryInfoList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::NoSymLinks);
        for (const QFileInfo& entry : entries) {
            if (isUnfinished(entry)) {
                found.emplace_back(lastWritten(entry.filePath()), entry.filePath());
            }
        }
    }
    std::sort(found.begin(), found.end(), [](const auto& a, const auto& b) { return a > b; });
    QStringList folders;
    for (const auto& [written, folder] : found) {
        folders << folder;
    }
    return folders;
}

std::optional<Recovered> recoverLatest(const QStringList& roots)
{
    for (const QString& folder : unfinished(roots)) {
        // A recording still being made, or mixed by another run, is not ours to touch.
        const std::optional<RecordingLock> lock = RecordingLock::tryLock(folder);
        const QString unopened = QDir(folder).filePath(unopenedName);
        const bool mixed = QFileInfo::exists(QDir(folder).filePath(mixName));
        if (!lock || (mixed && !QFileInfo::exists(unopened))) {
            continue;
        }
        mark(unopened);
        // The space the recording held back for its mix is given to it now.
        ::unlink(QFile::encodeName(SpaceReserve::pathIn(folder)).constData());
        if (!mixed) {
            appendHeldMicrophone(folder);
        }
        const QDateTime written = lastWritten(folder);
        std::optional<AudioCapture::KeptTrack> microphone
            = keptTrack(folder, microphoneName, false);
        std::optional<AudioCapture::KeptTrack> call = keptTrack(folder, callName, true);
        // A start that was never noted puts both tracks at the same time.
        if (microphone && call && !TrackStarts::read(folder, microphoneName)) {
            microphone->start = call->start;
        } else if (microphone && call && !TrackStarts::read(folder, callName)) {
            call->start = microphone->start;
        }
        try {
            return Recovered { folder, written,
                AudioCapture::mixKept(folder, microphone, call, mixed) };
        } catch (...) {
            if (passing(std::current_exception())) {
                return std::nullopt;
            }
            mark(failureMarkIn(folder));
        }
    }
    return std::nullopt;
}

QCoro::Task<std::optional<Recovered>> recoverLatestInBackground()
{
    auto work = [] {
        return recoverLatest();
    };
    co_return co_await runInBackground(std::move(work));
}

} // namespace RecordingRecovery
