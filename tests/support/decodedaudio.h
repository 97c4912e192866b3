#pragma once

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <cmath>
#include <cstring>
#include <numbers>
#include <vector>

// Runs a program to its end; its standard output, or nothing when it failed.
inline QByteArray runProgram(const QString& program, const QStringList& arguments)
{
    QProcess process;
    process.start(program, arguments);
    const bool done = process.waitForFinished(120000)
        && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
    return done ? process.readAllStandardOutput() : QByteArray();
}

// A mix as FFmpeg reads it back: its stated length and its samples, mono at 48 kHz.
struct DecodedAudio
{
    static constexpr int rate = 48000;

    double duration = 0;
    std::vector<float> samples;

    explicit DecodedAudio(const QString& path)
    {
        duration = runProgram(QStringLiteral("ffprobe"),
            { QStringLiteral("-v"), QStringLiteral("error"), QStringLiteral("-show_entries"),
                QStringLiteral("stream=duration"), QStringLiteral("-of"),
                QStringLiteral("default=nw=1:nk=1"), path })
                       .trimmed()
                       .toDouble();
        const QByteArray raw = runProgram(QStringLiteral("ffmpeg"),
            { QStringLiteral("-v"), QStringLiteral("error"), QStringLiteral("-i"), path,
                QStringLiteral("-ac"), QStringLiteral("1"), QStringLiteral("-f"),
                QStringLiteral("f32le"), QStringLiteral("-") });
        samples.resize(std::size_t(raw.size()) / sizeof(float));
        std::memcpy(samples.data(), raw.constData(), samples.size() * sizeof(float));
    }

    [[nodiscard]] double seconds() const { return double(samples.size()) / rate; }

    // Amplitude of the `frequency` component over [from, to) seconds.
    [[nodiscard]] double level(double frequency, double from, double to) const
    {
        const auto first = std::size_t(from * rate);
        const auto last = std::min(samples.size(), std::size_t(to * rate));
        double re = 0;
        double im = 0;
        for (std::size_t index = first; index < last; ++index) {
            const double phase = 2 * std::numbers::pi * frequency * double(index) / rate;
            re += samples[index] * std::cos(phase);
            im += samples[index] * std::sin(phase);
        }
        return 2 * std::hypot(re, im) / double(std::max<std::size_t>(1, last - first));
    }
};
