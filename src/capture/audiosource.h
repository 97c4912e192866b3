#pragma once

#include "audioloss.h"
#include "pcmbuffer.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

// One live input of a recording (the microphone or the call). It is opened ready to run, started
// once with a handler, and stopped. The handler runs on the source's own thread, one buffer at a
// time, and must consume the buffer before returning.
class AudioSource
{
public:
    using Handler = std::function<void(const PcmBuffer& buffer, std::uint64_t hostTime)>;

    virtual ~AudioSource() = default;

    // Starts delivering buffers with the host time of their first frame; throws on failure.
    virtual void start(Handler handler) = 0;
    // Stops delivery and releases what the source holds; safe in any state and more than once.
    virtual void stop() noexcept = 0;
    // What the input could not record while it ran (device switches, server restarts); complete
    // once stopped.
    [[nodiscard]] virtual std::vector<AudioLoss> losses() const { return {}; }
    // Which stream of the device the buffer being handled comes from, read from the handler: a
    // new number says its times need not follow on from the buffers before. 0: not numbered.
    [[nodiscard]] virtual std::uint64_t streamNumber() const { return 0; }
    // Whether the host times handed over are the buffers' places on the stream's own count of
    // frames, and the device's timing is reported apart, by `measuredTime`; otherwise each host
    // time is when its buffer was captured.
    [[nodiscard]] virtual bool measuresTime() const { return false; }
    // When the device captured the buffer being handled, read from the handler; none when no
    // report came for it.
    [[nodiscard]] virtual std::optional<std::uint64_t> measuredTime() const { return std::nullopt; }
};
