#pragma once

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTest>
#include <algorithm>
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
                QStringLiteral("-ac"), QStringLiteral("1"), QStringLiteral("-ar"),
                QStringLiteral("48000"), QStringLiteral("-f"), QStringLiteral("f32le"),
                QStringLiteral("-") });
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

// The container states the length to the millisecond; the decoder adds the encoder's padding,
// up to one frame of 1024 samples.
inline void verifyLength(const DecodedAudio& mix, double expected)
{
    constexpr int rate = DecodedAudio::rate;
    QVERIFY2(std::abs(mix.duration - expected) <= 0.001,
        qPrintable(QStringLiteral("stated %1 s, expected %2 s").arg(mix.duration).arg(expected)));
    QVERIFY2(mix.seconds() >= expected - 0.5 / rate && mix.seconds() <= expected + 1024.0 / rate,
        qPrintable(QStringLiteral("decoded %1 s, expected %2 s").arg(mix.seconds()).arg(expected)));
}

// The energy of the difference between two decodings, relative to the reference's, in dB.
inline double differenceDb(const DecodedAudio& mix, const DecodedAudio& reference)
{
    double difference = 0;
    double signal = 0;
    const std::size_t length = std::max(mix.samples.size(), reference.samples.size());
    for (std::size_t index = 0; index < length; ++index) {
        const double a = index < mix.samples.size() ? mix.samples[index] : 0.0;
        const double b = index < reference.samples.size() ? reference.samples[index] : 0.0;
        difference += (a - b) * (a - b);
        signal += b * b;
    }
    return 10 * std::log10(std::max(difference, 1e-20) / std::max(signal, 1e-20));
}
