#pragma once

#include <QByteArray>
#include <QFile>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <algorithm>
#include <cmath>
#include <cstring>
#include <numbers>
#include <sndfile.h>
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

// Recorded audio read back for checks, as mono samples (the channels averaged): a track as
// libsndfile reads it, in its own format, or any file as FFmpeg decodes it, at 48 kHz. Header
// only: a test that reads tracks links libsndfile.
struct RecordedAudio
{
    int sampleRate = 0;
    int channels = 0;
    std::vector<float> mono;
    float peak = 0; // over every channel
    double duration = 0; // the length the container states, for decoded files

    static RecordedAudio fromTrack(const QString& path)
    {
        RecordedAudio audio;
        SF_INFO info {};
        SNDFILE* file = sf_open(QFile::encodeName(path).constData(), SFM_READ, &info);
        if (!file) {
            return audio;
        }
        audio.sampleRate = info.samplerate;
        audio.channels = info.channels;
        std::vector<float> frames(std::size_t(info.frames * info.channels));
        const sf_count_t read = sf_readf_float(file, frames.data(), info.frames);
        sf_close(file);
        audio.mono.resize(std::size_t(read));
        for (std::size_t frame = 0; frame < audio.mono.size(); ++frame) {
            float sum = 0;
            for (int channel = 0; channel < info.channels; ++channel) {
                const float sample
                    = frames[frame * std::size_t(info.channels) + std::size_t(channel)];
                sum += sample;
                audio.peak = std::max(audio.peak, std::abs(sample));
            }
            audio.mono[frame] = sum / float(info.channels);
        }
        audio.duration = audio.seconds();
        return audio;
    }

    static RecordedAudio decoded(const QString& path)
    {
        RecordedAudio audio;
        const auto words = [](const char* text) {
            return QString::fromLatin1(text).split(u' ');
        };
        audio.duration = runProgram(QStringLiteral("ffprobe"),
            words("-v error -show_entries stream=duration -of default=nw=1:nk=1") << path)
                             .trimmed()
                             .toDouble();
        const QByteArray raw = runProgram(QStringLiteral("ffmpeg"),
            words("-v error -i") << path << words("-ac 1 -ar 48000 -f f32le -"));
        audio.sampleRate = 48000;
        audio.channels = 1;
        audio.mono.resize(std::size_t(raw.size()) / sizeof(float));
        std::memcpy(audio.mono.data(), raw.constData(), audio.mono.size() * sizeof(float));
        for (const float sample : audio.mono) {
            audio.peak = std::max(audio.peak, std::abs(sample));
        }
        return audio;
    }

    [[nodiscard]] double seconds() const
    {
        return sampleRate ? double(mono.size()) / sampleRate : 0;
    }

    // Amplitude of the `frequency` component over [from, to) seconds.
    [[nodiscard]] double level(double frequency, double from, double to) const
    {
        const auto first = std::size_t(std::max(0.0, from) * sampleRate);
        const auto last = std::min(mono.size(), std::size_t(std::max(0.0, to) * sampleRate));
        if (last <= first) {
            return 0;
        }
        double re = 0;
        double im = 0;
        for (std::size_t index = first; index < last; ++index) {
            const double phase = 2 * std::numbers::pi * frequency * double(index) / sampleRate;
            re += mono[index] * std::cos(phase);
            im += mono[index] * std::sin(phase);
        }
        return 2 * std::hypot(re, im) / double(last - first);
    }

    // How a decoded file's length differs from `expected` seconds; empty when it does not. The
    // container states it to the millisecond; the decoder adds the encoder's padding, up to one
    // frame of 1024 samples.
    [[nodiscard]] QString lengthMismatch(double expected) const
    {
        if (std::abs(duration - expected) > 0.001) {
            return QStringLiteral("stated %1 s, expected %2 s").arg(duration).arg(expected);
        }
        if (seconds() < expected - 0.5 / sampleRate || seconds() > expected + 1024.0 / sampleRate) {
            return QStringLiteral("decoded %1 s, expected %2 s").arg(seconds()).arg(expected);
        }
        return {};
    }

    // How many 100 ms windows carry the `frequency` tone above `threshold`.
    // The same, averaged over 50 ms blocks (whole cycles of the test tones, which leaves each
    // blind to the others): a server's glitch, a splice of a millisecond, turns the phase and
    // would cancel the tone over a longer window, but spoils only the block it falls in.
    [[nodiscard]] double steadyLevel(double frequency, double from, double to) const
    {
        constexpr double block = 0.05;
        double power = 0;
        int blocks = 0;
        for (double start = from; start + block <= to + 1e-9; start += block, ++blocks) {
            const double amplitude = level(frequency, start, start + block);
            power += amplitude * amplitude;
        }
        return blocks > 0 ? std::sqrt(power / blocks) : level(frequency, from, to);
    }

    [[nodiscard]] int loudWindows(double frequency, double threshold) const
    {
        int loud = 0;
        for (double from = 0; from + 0.1 <= seconds(); from += 0.1) {
            loud += steadyLevel(frequency, from, from + 0.1) > threshold ? 1 : 0;
        }
        return loud;
    }

    // Where each click starts, in seconds: a sample above `threshold` after half a second below.
    [[nodiscard]] std::vector<double> clicks(float threshold = 0.3f) const
    {
        std::vector<double> starts;
        double last = -1;
        for (std::size_t index = 0; index < mono.size(); ++index) {
            const double at = double(index) / sampleRate;
            if (std::abs(mono[index]) > threshold) {
                if (starts.empty() || at - last > 0.5) {
                    starts.push_back(at);
                }
                last = at;
            }
        }
        return starts;
    }

    // Where a slow sine rises through zero, in seconds, between samples; one per half second at
    // most.
    [[nodiscard]] std::vector<double> upwardCrossings() const
    {
        std::vector<double> crossings;
        for (std::size_t index = 1; index < mono.size(); ++index) {
            const float before = mono[index - 1];
            const float after = mono[index];
            const double at = (double(index) - after / (after - before)) / sampleRate;
            if (before < 0 && after >= 0 && (crossings.empty() || at - crossings.back() > 0.5)) {
                crossings.push_back(at);
            }
        }
        return crossings;
    }

    // The longest run of digital silence within [from, to) seconds: where it starts, how long.
    struct Stretch
    {
        double start = 0;
        double seconds = 0;
    };
    [[nodiscard]] Stretch longestSilence(double from, double to) const
    {
        const auto first = std::size_t(std::max(0.0, from) * sampleRate);
        const auto last = std::min(mono.size(), std::size_t(std::max(0.0, to) * sampleRate));
        std::size_t bestStart = 0;
        std::size_t bestLength = 0;
        std::size_t runStart = first;
        for (std::size_t index = first; index <= last; ++index) {
            if (index < last && mono[index] == 0.0f) {
                continue;
            }
            if (index - runStart > bestLength) {
                bestStart = runStart;
                bestLength = index - runStart;
            }
            runStart = index + 1;
        }
        return { double(bestStart) / sampleRate, double(bestLength) / sampleRate };
    }
};

// Writes interleaved float samples as a 32-bit float WAV file.
inline bool writeFloatWav(
    const QString& path, const std::vector<float>& samples, int sampleRate, int channels = 1)
{
    SF_INFO info { 0, sampleRate, channels, SF_FORMAT_WAV | SF_FORMAT_FLOAT, 0, 0 };
    SNDFILE* file = sf_open(QFile::encodeName(path).constData(), SFM_WRITE, &info);
    const auto frames = sf_count_t(samples.size()) / channels;
    const bool written = file && sf_writef_float(file, samples.data(), frames) == frames;
    return file && sf_close(file) == 0 && written;
}

// The energy of the difference between two decodings, relative to the reference's, in dB.
inline double differenceDb(const RecordedAudio& audio, const RecordedAudio& reference)
{
    double difference = 0;
    double signal = 0;
    const std::size_t length = std::max(audio.mono.size(), reference.mono.size());
    for (std::size_t index = 0; index < length; ++index) {
        const double a = index < audio.mono.size() ? audio.mono[index] : 0.0;
        const double b = index < reference.mono.size() ? reference.mono[index] : 0.0;
        difference += (a - b) * (a - b);
        signal += b * b;
    }
    return 10 * std::log10(std::max(difference, 1e-20) / std::max(signal, 1e-20));
}
