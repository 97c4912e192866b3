#pragma once

#include "audiosource.h"
#include "echo/echotuning.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

namespace echo {

// A copy of one buffer from either feed, with its host time, read and written sample by sample
// whatever its layout: the canceller keeps buffers past the handler that brought them.
struct Chunk
{
    PcmFormat format;
    std::int64_t frames = 0;
    std::vector<std::byte> bytes;
    std::uint64_t hostTime = 0;
    bool journaled = false; // handed to the holding while the canceller learnt

    Chunk(const PcmBuffer& buffer, std::uint64_t hostTime)
        : format(buffer.format)
        , frames(buffer.frameLength)
        , bytes(buffer.data.begin(), buffer.data.end())
        , hostTime(hostTime)
    { }

    [[nodiscard]] PcmBuffer view() const { return { format, frames, bytes }; }
    [[nodiscard]] double duration() const
    {
        return double(frames) * nanosecondsPerSecond / format.sampleRate;
    }
    [[nodiscard]] std::size_t index(std::int64_t frame, int channel) const
    {
        return std::size_t(
            format.interleaved ? frame * format.channelCount + channel : channel * frames + frame);
    }

    [[nodiscard]] float sample(std::int64_t frame, int channel) const
    {
        const std::size_t at = index(frame, channel);
        switch (format.sampleType) {
        case SampleType::Float32:
            return reinterpret_cast<const float*>(bytes.data())[at];
        case SampleType::Int16:
            return float(reinterpret_cast<const std::int16_t*>(bytes.data())[at]) / 32768.0f;
        case SampleType::Int32:
            return float(
                double(reinterpret_cast<const std::int32_t*>(bytes.data())[at]) / 2147483648.0);
        }
        return 0;
    }

    void setSample(std::int64_t frame, int channel, float value)
    {
        const std::size_t at = index(frame, channel);
        const double clamped = std::clamp(double(value), -1.0, 1.0);
        switch (format.sampleType) {
        case SampleType::Float32:
            reinterpret_cast<float*>(bytes.data())[at] = value;
            break;
        case SampleType::Int16:
            reinterpret_cast<std::int16_t*>(bytes.data())[at]
                = std::int16_t(std::lround(std::clamp(clamped * 32768.0, -32768.0, 32767.0)));
            break;
        case SampleType::Int32:
            reinterpret_cast<std::int32_t*>(bytes.data())[at] = std::int32_t(
                std::llround(std::clamp(clamped * 2147483648.0, -2147483648.0, 2147483647.0)));
            break;
        }
    }
};

} // namespace echo
