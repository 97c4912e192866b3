#pragma once

#include <QFile>
#include <QProcess>
#include <QString>
#include <algorithm>
#include <cmath>
#include <cstring>
#include <numbers>
#include <sndfile.h>
#include <vector>

// Recorded audio read back for checks: a track (CAF, through libsndfile) or a mix (M4A, decoded
// by the ffmpeg command line), as mono samples, the channels averaged. Header only: the test
// that includes it links libsndfile.
struct RecordedAudio
{
    int sampleRate = 0;
    int channels = 0;
    std::vector<float> mono;
    float peak = 0; // over every channel

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
        return audio;
    }

    static RecordedAudio fromMix(const QString& path)
    {
        RecordedAudio audio;
        QProcess ffmpeg;
        ffmpeg.start(QStringLiteral("ffmpeg"),
            { QStringLiteral("-v"), QStringLiteral("error"), QStringLiteral("-i"), path,
                QStringLiteral("-ac"), QStringLiteral("1"), QStringLiteral("-ar"),
                QStringLiteral("48000"), QStringLiteral("-f"), QStringLiteral("f32le"),
                QStringLiteral("-") });
        if (!ffmpeg.waitForFinished(120000) || ffmpeg.exitCode() != 0) {
            return audio;
        }
        const QByteArray raw = ffmpeg.readAllStandardOutput();
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
