#pragma once

#include <QByteArray>
#include <QFile>
#include <QString>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <fcntl.h>
#include <stop_token>
#include <thread>
#include <unistd.h>
#include <vector>

// A microphone on a crystal of its own: mono float at 48 kHz times (1 + `drift`) into the named
// pipe of a module-pipe-source, a 5 ms click every `every` seconds from `first` on, in host time.
class PacedPipe
{
public:
    PacedPipe(const QString& path, double drift, double first, double every)
        : m_thread([=, this](const std::stop_token& stop) {
            run(QFile::encodeName(path), 48000 * (1 + drift), first, every, stop);
        })
    { }

private:
    static void run(const QByteArray& path, double rate, double first, double every,
        const std::stop_token& stop)
    {
        // Without a reader the opening fails instead of waiting for one; writes then wait.
        const int pipe = ::open(path.constData(), O_WRONLY | O_NONBLOCK);
        if (pipe < 0 || ::fcntl(pipe, F_SETFL, 0) < 0) {
            return;
        }
        const auto began = std::chrono::steady_clock::now();
        std::int64_t written = 0;
        std::vector<float> block;
        while (!stop.stop_requested()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - began;
            const auto due = std::int64_t(elapsed.count() * rate);
            block.resize(std::size_t(due - written));
            for (std::size_t index = 0; index < block.size(); ++index) {
                const double into = double(written + std::int64_t(index)) / rate - first;
                block[index] = into >= 0 && std::fmod(into, every) < 0.005 ? 0.9f : 0.0f;
            }
            const auto bytes = qsizetype(block.size() * sizeof(float));
            if (::write(pipe, block.data(), std::size_t(bytes)) != bytes) {
                break;
            }
            written = due;
        }
        ::close(pipe);
    }

    std::jthread m_thread;
};
