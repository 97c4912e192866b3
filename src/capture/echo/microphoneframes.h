#pragma once

#include "echo/echochunk.h"

#include <deque>
#include <vector>

// The microphone's buffers from arrival until they go out, addressed by position: the frames
// the canceller reads its input from and writes its output back into, where the microphone heard
// them, so that switching between cancelled and raw audio never moves the track in time.
// Positions count the microphone's frames from the first one.
struct MicrophoneFrames
{
    // Microphone buffers in arrival order; the first `microphoneDone` frames of the first one
    // have been processed. A buffer leaves once all its frames are done.
    std::deque<echo::Chunk> microphone;
    std::int64_t microphoneDone = 0;
    // Buffers the canceller has finished with wait in `done` until its output for their last
    // frame is in (it runs behind its input); `outputFrames` have gone out.
    std::deque<echo::Chunk> done;
    std::int64_t doneFrames = 0;
    std::int64_t outputFrames = 0;

    // Of the first frame not yet processed.
    [[nodiscard]] std::int64_t position() const
    {
        return outputFrames + doneFrames + microphoneDone;
    }
    // Frames from the processing point on that share the first waiting buffer's format.
    [[nodiscard]] std::int64_t available() const;
    // Copies `frames` from `position` on into `input` (one vector per channel, sized already),
    // those of `format` that have not gone out.
    void gather(std::int64_t position, std::int64_t frames, const PcmFormat& format,
        std::vector<std::vector<float>>& input) const;
    // Writes back what changes, from `from` on: nothing while the call is silent, a 10 ms
    // cross-fade where the canceller takes over or lets go.
    void scatter(std::int64_t position, std::int64_t frames, std::int64_t from, bool cancel,
        bool wasCancelled, const PcmFormat& format,
        const std::vector<std::vector<float>>& processed);
};
