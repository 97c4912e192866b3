#pragma once

#include <QString>
#include <vector>

// Mono audio in memory.
struct MonoSignal
{
    int sampleRate = 0;
    std::vector<float> samples;

    [[nodiscard]] double seconds() const
    {
        return sampleRate ? double(samples.size()) / sampleRate : 0;
    }
    // Mean square over [from, to) seconds, clipped to the signal.
    [[nodiscard]] double power(double from, double to) const;
};

// A sound file read whole and mixed down to mono; empty when it cannot be read.
[[nodiscard]] MonoSignal readMono(const QString& path);
[[nodiscard]] double decibels(double powerRatio);

// Seconds to add to a time in `reference` to find the same sound in `other`, found by matching
// their 10 ms level envelopes over [from, to) of `reference`, within ±`maximumLag`.
[[nodiscard]] double envelopeLag(const MonoSignal& reference, const MonoSignal& other, double from,
    double to, double maximumLag);

// A meeting on loudspeakers from two synthetic French voices: the call (far end) and the local
// speaker (near end), each a WAV file of the same length, with the stretches where far end only,
// near end only, and both talk. Stretches are the spans of speech, in seconds from the start.
struct EchoScenario
{
    struct Stretch
    {
        double start = 0;
        double end = 0;
    };

    QString call;
    QString local;
    MonoSignal callSignal;
    MonoSignal localSignal;
    Stretch farEndOnly;
    Stretch nearEndOnly;
    Stretch doubleTalk; // empty when made without it
    double seconds = 0;

    [[nodiscard]] bool isValid() const { return !call.isEmpty() && !local.isEmpty(); }

    // Speaks the sentences with espeak-ng into `folder`; invalid when that fails.
    [[nodiscard]] static EchoScenario make(const QString& folder, bool withDoubleTalk = true);
};
