#pragma once

#include <QString>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <stop_token>
#include <thread>

// Keeps a growing file durable: every few seconds, on a thread of its own, what was written to it
// is flushed to the disk, so that a power loss takes at most those seconds of a recording. A flush
// may block for long on a busy disk, so it never runs on an audio thread.
class FileSync
{
public:
    static constexpr std::chrono::seconds interval { 2 };

    // Flushes `path` through a descriptor of its own; does nothing when the file cannot be opened.
    explicit FileSync(const QString& path);
    ~FileSync();
    FileSync(const FileSync&) = delete;
    FileSync& operator=(const FileSync&) = delete;

private:
    void run(const std::stop_token& stop);

    int m_descriptor = -1;
    std::mutex m_mutex;
    std::condition_variable_any m_wake;
    std::jthread m_thread; // last: stopped before the rest goes
};
