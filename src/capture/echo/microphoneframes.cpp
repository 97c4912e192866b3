#include "echo/microphoneframes.h"

#include <algorithm>

using namespace echo;

namespace {

// Visits the microphone frames from `position` on, at most `frames`, that have not gone out and
// are in `format`; `at` counts from `position`.
template<typename Chunks, typename Visit>
void visitFrames(Chunks& done, Chunks& microphone, std::int64_t outputFrames,
    const PcmFormat& format, std::int64_t position, std::int64_t frames, Visit visit)
{
    std::int64_t at = 0;
    if (position < outputFrames) {
        at = outputFrames - position;
        position = outputFrames;
    }
    position -= outputFrames;
    for (Chunks* chunks : { &done, &microphone }) {
        for (auto& chunk : *chunks) {
            if (at >= frames) {
                return;
            }
            if (position >= chunk.frames) {
                position -= chunk.frames;
                continue;
            }
            if (chunk.format != format) {
                const std::int64_t step = std::min(chunk.frames - position, frames - at);
                at += step;
                position += step;
            }
            for (; position < chunk.frames && at < frames; ++position, ++at) {
                visit(chunk, position, at);
            }
            position = 0;
        }
    }
}

} // namespace

std::int64_t MicrophoneFrames::available() const
{
    if (microphone.empty()) {
        return 0;
    }
    std::int64_t frames = microphone.front().frames - microphoneDone;
    for (auto chunk = microphone.begin() + 1;
         chunk != microphone.end() && chunk->format == microphone.front().format; ++chunk) {
        frames += chunk->frames;
    }
    return frames;
}

void MicrophoneFrames::gather(std::int64_t position, std::int64_t frames, const PcmFormat& format,
    std::vector<std::vector<float>>& input) const
{
    const int channels = format.channelCount;
    visitFrames(done, microphone, outputFrames, format, position, frames,
        [&](const Chunk& chunk, std::int64_t offset, std::int64_t at) {
            for (int channel = 0; channel < channels; ++channel) {
                input[std::size_t(channel)][std::size_t(at)] = chunk.sample(offset, channel);
            }
        });
}

// The raw microphone is `lagFrames` behind the canceller's input: `position` is already moved
// back by it.
void MicrophoneFrames::scatter(std::int64_t position, std::int64_t frames, std::int64_t from,
    bool cancel, bool wasCancelled, const PcmFormat& format,
    const std::vector<std::vector<float>>& processed)
{
    if (!cancel && !wasCancelled) {
        return;
    }
    const int channels = format.channelCount;
    const std::int64_t skipped = std::max<std::int64_t>(0, from - position);
    visitFrames(done, microphone, outputFrames, format, position + skipped, frames - skipped,
        [&](Chunk& chunk, std::int64_t offset, std::int64_t written) {
            const std::int64_t at = written + skipped;
            float weight = 1;
            if (cancel != wasCancelled) {
                const float ramp = float(at) / float(frames);
                weight = cancel ? ramp : 1 - ramp;
            }
            for (int channel = 0; channel < channels; ++channel) {
                const float raw = chunk.sample(offset, channel);
                const float clean = processed[std::size_t(channel)][std::size_t(at)];
                chunk.setSample(offset, channel, raw + weight * (clean - raw));
            }
        });
}
