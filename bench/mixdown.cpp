// Benchmark helper for bench/mixdown.
//   bench_mixdown generate <file.caf> <seconds> <seed>   48 kHz stereo float track of speech-like
//   noise bench_mixdown mix <first.caf> <second.caf> <offset> <out.m4a>
//                                      mixes as a stop would; prints "seconds=<s> peak_rss_kb=<n>"
#include "audiocapture.h"
#include "error.h"

#include <QFile>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <numbers>
#include <random>
#include <sndfile.h>
#include <vector>

namespace {

// Noise shaped by a slow syllable-rate envelope with a few moving partials, so that the encoder
// meets material about as demanding as a voice, not a constant tone it codes for free.
int generate(const char* path, double seconds, unsigned seed)
{
    constexpr int rate = 48000;
    SF_INFO info {};
    info.samplerate = rate;
    info.channels = 2;
    info.format = SF_FORMAT_CAF | SF_FORMAT_FLOAT;
    SNDFILE* file = sf_open(path, SFM_WRITE, &info);
    if (!file) {
        std::fprintf(stderr, "%s: %s\n", path, sf_strerror(nullptr));
        return 1;
    }
    std::mt19937 random(seed);
    std::normal_distribution<float> noise(0.0f, 1.0f);
    const auto frames = std::int64_t(seconds * rate);
    std::vector<float> block(2 * 4800);
    float lowPass = 0;
    for (std::int64_t done = 0; done < frames;) {
        const std::int64_t count = std::min<std::int64_t>(4800, frames - done);
        for (std::int64_t index = 0; index < count; ++index) {
            const double time = double(done + index) / rate;
            const double envelope = 0.5 + 0.5 * std::sin(2 * std::numbers::pi * 3.1 * time + seed);
            const double pitch = 140 + 40 * std::sin(2 * std::numbers::pi * 0.4 * time + seed);
            lowPass += 0.2f * (noise(random) - lowPass);
            double value = 0.1 * lowPass;
            for (int partial = 1; partial <= 6; ++partial) {
                value += 0.04 / partial * std::sin(2 * std::numbers::pi * pitch * partial * time);
            }
            block[std::size_t(2 * index)] = float(envelope * value);
            block[std::size_t(2 * index + 1)] = float(envelope * value * 0.9);
        }
        if (sf_writef_float(file, block.data(), count) != count) {
            std::fprintf(stderr, "%s: %s\n", path, sf_strerror(file));
            sf_close(file);
            return 1;
        }
        done += count;
    }
    return sf_close(file) == 0 ? 0 : 1;
}

int mix(const char* first, const char* second, double offset, const char* destination)
{
    try {
        AudioCapture::mix(QFile::decodeName(first), QFile::decodeName(second),
            QFile::decodeName(destination), 0, offset);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "mix failed: %s\n", qPrintable(describeError(error)));
        return 1;
    }
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc == 5 && std::strcmp(argv[1], "generate") == 0) {
        return generate(argv[2], std::atof(argv[3]), unsigned(std::atoi(argv[4])));
    }
    if (argc == 6 && std::strcmp(argv[1], "mix") == 0) {
        return mix(argv[2], argv[3], std::atof(argv[4]), argv[5]);
    }
    std::fprintf(stderr,
        "usage: %s generate <file.caf> <seconds> <seed> | mix <first> <second> <offset> <out>\n",
        argv[0]);
    return 2;
}
