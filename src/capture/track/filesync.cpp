#include "track/filesync.h"

#include <QFile>
#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

FileSync::FileSync(const QString& path)
    : m_descriptor(::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC))
{
    if (m_descriptor >= 0) {
        m_thread = std::jthread([this](const std::stop_token& stop) { run(stop); });
    }
}

FileSync::~FileSync()
{
    if (m_thread.joinable()) {
        m_thread.request_stop();
        m_thread.join();
    }
    if (m_descriptor >= 0) {
        ::close(m_descriptor);
    }
}

void FileSync::run(const std::stop_token& stop)
{
    pthread_setname_np(pthread_self(), "Parlevox.sync");
    std::unique_lock lock(m_mutex);
    while (!m_wake.wait_for(lock, stop, interval, [] { return false; }) && !stop.stop_requested()) {
        // A failure shows again at the last flush, when the track is closed.
        ::fdatasync(m_descriptor);
    }
}
