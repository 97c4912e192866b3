#pragma once

#include <QByteArray>
#include <QFile>
#include <QString>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <fcntl.h>
#include <stop_token>
#include <sys/ioctl.h>
#include <thread>
#include <unistd.h>
#include <vector>

// A microphone on a crystal of its own: mono float at 48 kHz times (1 + `drift`) into the named
// pipe of a module-pipe-source, a 5 ms click every `every` seconds from `first` on, in host time.
// From `overrunAt` seconds on (none if 0), the device loses 150 ms, as one overrunning does.
class PacedPipe
{
public:
    PacedPipe(const QString& path, double drift, double first, double every, double overrunAt = 0)
        : m_thread([=, this](const std::stop_token& stop) {
            run(QFile::encodeName(path), 48000 * (1 + drift), first, every, overrunAt, m_drained,
                stop);
        })
    { }

    static constexpr double overrunSeconds = 0.15;

    // Seconds of audio thrown away because nobody read them in time (see run).
    [[nodiscard]] double drainedSeconds() const { return double(m_drained) / 4 / 48000; }

private:
    static void run(const QByteArray& path, double rate, double first, double every,
        double overrunAt, std::atomic<std::int64_t>& drained, const std::stop_token& stop)
    {
        // A device does not wait for its reader: while nobody reads (the source suspended) its
        // buffer overruns and the oldest samples are gone, so what the reader gets once it reads
        // again was captured moments before. The writer plays that part: more than 100 ms left
        // unread in the pipe is drained. Shorter delays of the reader lose nothing.
        const int pipe = ::open(path.constData(), O_WRONLY | O_NONBLOCK);
        const int drain = ::open(path.constData(), O_RDONLY | O_NONBLOCK);
        if (pipe < 0 || drain < 0) {
            return;
        }
        const int overrun = int(rate / 10) * int(sizeof(float));
        std::vector<char> stale(65536);
        const auto began = std::chrono::steady_clock::now();
        std::int64_t written = 0;
        std::vector<float> block;
        std::size_t sent = 0; // bytes of the block's first sample already in the pipe
        while (!stop.stop_requested()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
            const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - began;
            const auto due = std::int64_t(elapsed.count() * rate);
            const std::size_t start = block.size();
            block.resize(start + std::size_t(due - written));
            for (std::size_t index = start; index < block.size(); ++index) {
                const double into = double(written + std::int64_t(index - start)) / rate - first;
                block[index] = into >= 0 && std::fmod(into, every) < 0.005 ? 0.9f : 0.0f;
            }
            written = due;
            if (overrunAt > 0 && elapsed.count() >= overrunAt
                && elapsed.count() < overrunAt + overrunSeconds) {
                block.clear();
                sent = 0;
                continue;
            }
            int unread = 0;
            if (::ioctl(pipe, FIONREAD, &unread) == 0 && unread > overrun) {
                for (ssize_t got = 0; (got = ::read(drain, stale.data(), stale.size())) > 0;) {
                    drained += got;
                }
                block.clear();
                sent = 0;
                continue;
            }
            const auto* bytes = reinterpret_cast<const char*>(block.data());
            const ssize_t done = ::write(pipe, bytes + sent, block.size() * sizeof(float) - sent);
            if (done < 0 && errno != EAGAIN) {
                break;
            }
            sent += done > 0 ? std::size_t(done) : 0;
            // Whole samples leave the block; a sample cut by the pipe stays for the next write.
            const std::size_t samples = sent / sizeof(float);
            block.erase(block.begin(), block.begin() + std::ptrdiff_t(samples));
            sent -= samples * sizeof(float);
        }
        ::close(drain);
        ::close(pipe);
    }

    std::atomic<std::int64_t> m_drained { 0 };
    std::jthread m_thread;
};
