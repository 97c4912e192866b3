#include "track/spacereserve.h"

#include "platformtext.h"
#include "track/recordingfolder.h"

#include <QDir>
#include <QFile>
#include <cerrno>
#include <fcntl.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace {

constexpr std::uint64_t fixedBytes = 1024 * 1024; // headers and the index of a long file
constexpr std::uint64_t bytesPerSecond = 32 * 1024; // twice 128 kbit/s
constexpr std::uint64_t stepBytes = 10 * bytesPerSecond; // grown ten seconds at a time

bool cannotAllocateAhead(int error)
{
    return error == EOPNOTSUPP || error == ENOSYS;
}

} // namespace

QString SpaceReserve::pathIn(const QString& folder)
{
    return QDir(folder).filePath(QStringLiteral(".reserve"));
}

std::uint64_t SpaceReserve::bytesFor(double seconds)
{
    return fixedBytes + std::uint64_t(std::max(0.0, seconds) * double(bytesPerSecond));
}

SpaceReserve::SpaceReserve(const QString& folder)
    : m_path(pathIn(folder))
{
    m_descriptor = RecordingLocation::openPrivateFile(m_path);
    if (m_descriptor < 0) {
        throw StorageError(errno);
    }
    if (!grow(bytesFor(0))) {
        const int error = errno;
        release();
        throw StorageError(error);
    }
}

SpaceReserve::~SpaceReserve()
{
    release();
}

bool SpaceReserve::cover(std::uint64_t bytes)
{
    const std::lock_guard lock(m_mutex);
    if (m_descriptor < 0) {
        return false;
    }
    return bytes <= m_held || grow(bytes + stepBytes);
}

bool SpaceReserve::grow(std::uint64_t bytes)
{
    if (m_allocates) {
        const int status = ::fallocate(m_descriptor, 0, 0, off_t(bytes));
        if (status == 0) {
            m_held = bytes;
            return true;
        }
        if (!cannotAllocateAhead(errno)) {
            return false;
        }
        m_allocates = false;
    }
    // Nothing held: the room the reserve stands for must still be free.
    struct statvfs disk
    { };
    if (::fstatvfs(m_descriptor, &disk) != 0) {
        return false;
    }
    if (std::uint64_t(disk.f_bavail) * disk.f_frsize < bytes) {
        errno = ENOSPC;
        return false;
    }
    m_held = bytes - std::min(bytes, stepBytes);
    return true;
}

void SpaceReserve::release() noexcept
{
    const std::lock_guard lock(m_mutex);
    if (m_descriptor < 0) {
        return;
    }
    ::close(m_descriptor);
    m_descriptor = -1;
    ::unlink(QFile::encodeName(m_path).constData());
}
