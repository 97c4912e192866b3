#pragma once

#include "scriptedsource.h"

#include <QtGlobal>
#include <chrono>
#include <utility>

// A generated meeting for the benchmarks: a 44.1 kHz mono microphone starting 0.35 s after a
// 48 kHz stereo call, `seconds` long each, noisy (harder to encode), fed in lockstep.
//
// They play faster than real time (PARLEVOX_BENCH_SPEEDUP, 20 by default), but no faster than the
// echo canceller works through the microphone: past that, the microphone would reach the live mix
// too late for it, which no real meeting does.
inline std::pair<ScriptedSource::Script, ScriptedSource::Script> generatedMeeting(double seconds)
{
    constexpr std::uint64_t base = 1'000'000'000'000;
    const double speedup = qEnvironmentVariableIsSet("PARLEVOX_BENCH_SPEEDUP")
        ? qEnvironmentVariable("PARLEVOX_BENCH_SPEEDUP").toDouble()
        : 20;
    ScriptedSource::Script microphone { "microphone", 44100, 1, 1024, 0, base + 350'000'000 };
    ScriptedSource::Script call { "call", 48000, 2, 1024, 0, base };
    for (ScriptedSource::Script* script : { &microphone, &call }) {
        script->chunks = std::int64_t(seconds * script->sampleRate) / script->chunkFrames;
        script->noisy = true;
        script->lockstep = true;
        script->pace = std::chrono::microseconds(
            std::int64_t(double(script->chunkFrames) * 1e6 / script->sampleRate / speedup));
    }
    return { microphone, call };
}
