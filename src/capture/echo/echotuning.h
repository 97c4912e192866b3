#pragma once

#include <cstddef>

// The echo canceller's figures, in one place: its parts lean on each other's (the lead, the delay
// the library is told and the delay check are tuned together), so they are read side by side.
namespace echo {

inline constexpr double nanosecondsPerSecond = 1e9;
inline constexpr double frameNanoseconds = 10e6; // the canceller works on 10 ms frames
// Each feed is taken as continuous from its first buffer, as its track is written, unless a
// buffer's time strays further than this from the sample count: the timing reports of single
// buffers wander by a few hundred milliseconds while a stream settles, and following them would
// tear the call apart from its echo.
inline constexpr double continuityTolerance = 1e9;
// How long a microphone frame waits, in microphone time, for the call audio of the same moment:
// the call's buffers can arrive a few hundred milliseconds after the microphone's.
inline constexpr double referenceWait = 1e9;
// The call is handed over this far ahead of the microphone frame: an echo that arrives almost at
// once still finds its reference inside the canceller's window.
inline constexpr double referenceLead = 100e6;
// The delay the canceller is told: with the lead above, it centres its window on echoes from
// about 50 ms before to 60 ms after the call's own time.
inline constexpr int nominalDelayMs = 100;
// Call audio older than this before the frame at hand explains nothing any more.
inline constexpr double referenceHistory = 500e6;
// Unprocessed microphone audio beyond this passes through raw until the canceller caught up.
inline constexpr double maximumBacklog = 2e9;
// Queued microphone audio beyond this means the canceller's thread is stuck: the microphone's
// own thread takes over and writes the raw microphone from then on.
inline constexpr double stuckBacklog = 10e9;
// The call is silent when no sample of its last half second is louder than -60 dBFS: the
// microphone then comes out exactly as it went in.
inline constexpr float silenceThreshold = 0.001f;
inline constexpr int silentFramesBeforeBypass = 50;
// How much quieter the microphone stays than the call while the call talks (in dB, over windows
// that cover any echo delay the canceller handles). Above this, nothing of the call reaches the
// microphone (headphones): the microphone passes through. The estimate forgets slowly, so that
// moving to loudspeakers brings the canceller back within seconds.
inline constexpr double decoupledLoss = 40;
inline constexpr double largestLoss = 50;
inline constexpr double lossDecayPerFrame = 0.02;
inline constexpr float activeCallPower = 1e-4f;
// The last second of microphone against the call from 900 to 500 ms before, whose echo is in that
// second at any delay up to 500 ms.
inline constexpr std::size_t microphoneWindowFrames = 100;
inline constexpr std::size_t callWindowStart = 90;
inline constexpr std::size_t callWindowEnd = 50;
// The canceller adapts quickly only to echoes within about 50 ms of the delay it is told, and an
// echo reaches the microphone 10 to 300 ms after the call plays it (the output's latency, the
// room, a Bluetooth speaker), beside any disagreement of the two feeds' host times. The echo's
// actual delay is measured from the 10 ms levels of the last 1.5 s (the microphone's against the
// call's, lags up to 500 ms either way), and the call is then handed over early (or late) enough
// to put the echo where the canceller expects it.
inline constexpr std::size_t levelHistoryFrames = 150;
inline constexpr int delayCheckFrames = 50;
inline constexpr int largestLagFrames = 50;
// The first check comes after a second, soon enough for the learning hold to cover it.
inline constexpr std::size_t firstDelayCheckFrames = 2 * largestLagFrames;
inline constexpr double delayMatch = 0.9; // correlation of the log levels needed to trust a lag
inline constexpr double targetDelay = 100e6;
inline constexpr double largestLead = 500e6;
inline constexpr double smallestLead = targetDelay - largestLagFrames * frameNanoseconds;
// Smaller corrections are left to the canceller's own delay estimate: moving the call makes it
// learn the room again.
inline constexpr double leadStep = 40e6;
// A fresh canceller needs a second or two of the call to learn the room, and the echo of those
// first sentences would stay in the recording. So the microphone is held back while it learns,
// then the same audio goes through the canceller again, which by then knows the room. The hold
// ends after this much cancelling, or once this much microphone is held.
inline constexpr int learningFrames = 200;
inline constexpr double learningLimit = 3e9;
// The held audio goes through twice more: once to learn it again at the lead found meanwhile (the
// first seconds of a long echo path were learnt before the lead moved), once for the output.
inline constexpr int learningPasses = 2;
// Silence fed before each pass, so that the canceller's memory of the call starts as empty as it
// did the first time: half a second before the first, and before the one that is written just
// what its filters reach (the delay it is told and the filter, about 250 ms). Measured: after
// half a second of silence there too, the call's first words came through 20 dB louder.
inline constexpr int learningFlushFrames = 50;
inline constexpr int writtenPassFlushFrames = 25;

// Rates the library accepts: 10 ms frames of whole samples.
inline bool usableRate(int rate)
{
    return rate >= 8000 && rate <= 192000 && rate % 100 == 0;
}

} // namespace echo
