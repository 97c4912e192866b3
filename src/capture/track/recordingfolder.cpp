#include "track/recordingfolder.h"

#include "captureerror.h"
#include "platformtext.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QUuid>
#include <cerrno>
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>
#include <utility>

namespace {

const QString startsFile = QStringLiteral(".track-starts");

QString privateFolderIn(const QString& base)
{
    return QDir(base).filePath(QStringLiteral("parlevox-recordings-%1").arg(getuid()));
}

// Whether `path` is held in memory, where a power loss takes the recording with it.
bool inMemory(const QString& path)
{
    struct statfs system
    { };
    return ::statfs(QFile::encodeName(path).constData(), &system) == 0
        && (system.f_type == TMPFS_MAGIC || system.f_type == RAMFS_MAGIC);
}

// Makes `path` a folder of this user that nobody else can read, creating it when missing. A link
// or a folder of someone else in its place is refused rather than followed.
void makePrivate(const QString& path)
{
    const QByteArray name = QFile::encodeName(path);
    if (::mkdir(name.constData(), 0700) != 0 && errno != EEXIST) {
        throw StorageError(errno);
    }
    struct stat status
    { };
    if (::lstat(name.constData(), &status) != 0) {
        throw StorageError(errno);
    }
    if (!S_ISDIR(status.st_mode) || status.st_uid != getuid()) {
        throw CaptureError(
            QStringLiteral("Le dossier des enregistrements %1 appartient à un autre utilisateur.")
                .arg(path));
    }
    if ((status.st_mode & 0077) != 0 && ::chmod(name.constData(), 0700) != 0) {
        throw StorageError(errno);
    }
}

// Makes the entries of a folder durable: a file just created there survives a power loss.
void syncFolder(const QString& path)
{
    const int descriptor
        = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (descriptor >= 0) {
        ::fsync(descriptor);
        ::close(descriptor);
    }
}

} // namespace

namespace RecordingLocation {

QString root()
{
    const QString temporary = qEnvironmentVariable("TMPDIR");
    const bool onDisk = !temporary.isEmpty() && !inMemory(temporary);
    return privateFolderIn(onDisk ? temporary : QStringLiteral("/var/tmp"));
}

QString newFolder()
{
    return QDir(root()).filePath(QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper());
}

void create(const QString& folder)
{
    const QString base = QFileInfo(folder).absolutePath();
    if (!QDir().mkpath(QFileInfo(base).absolutePath())) {
        throw StorageError(errno ? errno : EACCES);
    }
    makePrivate(base);
    makePrivate(folder);
    syncFolder(base);
}

int openPrivateFile(const QString& path, bool exclusive)
{
    return ::open(QFile::encodeName(path).constData(),
        O_WRONLY | O_CREAT | O_CLOEXEC | (exclusive ? O_EXCL : O_TRUNC), 0600);
}

} // namespace RecordingLocation

std::optional<RecordingLock> RecordingLock::tryLock(const QString& folder)
{
    const int descriptor
        = ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (descriptor < 0) {
        return std::nullopt;
    }
    if (::flock(descriptor, LOCK_EX | LOCK_NB) != 0) {
        ::close(descriptor);
        return std::nullopt;
    }
    return RecordingLock(descriptor);
}

RecordingLock::RecordingLock(int descriptor)
    : m_descriptor(descriptor)
{ }

RecordingLock::RecordingLock(RecordingLock&& other) noexcept
    : m_descriptor(std::exchange(other.m_descriptor, -1))
{ }

RecordingLock::~RecordingLock()
{
    if (m_descriptor >= 0) {
        ::close(m_descriptor);
    }
}

namespace TrackStarts {

QString fileIn(const QString& folder)
{
    return QDir(folder).filePath(startsFile);
}

void note(const QString& folder, const QString& fileName, double seconds)
{
    const int descriptor = ::open(QFile::encodeName(fileIn(folder)).constData(),
        O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (descriptor < 0) {
        return;
    }
    // One short line in one write: two tracks noting their start at once never interleave.
    const QByteArray line
        = QFile::encodeName(fileName) + ' ' + QByteArray::number(seconds, 'f', 9) + '\n';
    // Durable at once: without it, a recording recovered after a power loss is mixed out of step.
    if (::write(descriptor, line.constData(), line.size()) == line.size()) {
        ::fsync(descriptor);
    }
    ::close(descriptor);
    syncFolder(folder);
}

std::optional<double> read(const QString& folder, const QString& fileName)
{
    QFile file(fileIn(folder));
    if (!file.open(QIODevice::ReadOnly)) {
        return std::nullopt;
    }
    const QByteArray name = QFile::encodeName(fileName);
    for (const QByteArray& line : file.readAll().split('\n')) {
        const QList<QByteArray> fields = line.split(' ');
        bool valid = false;
        const double seconds = fields.size() == 2 ? fields[1].toDouble(&valid) : 0;
        if (valid && fields[0] == name) {
            return seconds;
        }
    }
    return std::nullopt;
}

} // namespace TrackStarts
