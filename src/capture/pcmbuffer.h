#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

enum class SampleType
{
    Float32,
    Int16,
    Int32,
};

[[nodiscard]] constexpr int bytesPerSample(SampleType type)
{
    return type == SampleType::Int16 ? 2 : 4;
}

struct PcmFormat
{
    int sampleRate = 0;
    int channelCount = 0;
    SampleType sampleType = SampleType::Float32;
    // Interleaved: frames of channelCount samples. Otherwise one plane per channel, one after the
    // other, each frameLength samples long.
    bool interleaved = true;

    friend bool operator==(const PcmFormat&, const PcmFormat&) = default;
};

// A view of one chunk of PCM audio as a live source delivers it. It does not own its bytes: the
// source keeps them alive for the duration of the call it is passed to.
struct PcmBuffer
{
    PcmFormat format;
    std::int64_t frameLength = 0;
    std::span<const std::byte> data; // frameLength * channelCount * bytesPerSample bytes

    // Samples of channel `channel`, read every `sampleStride()` values (32-bit float only).
    [[nodiscard]] const float* floatChannel(int channel) const
    {
        const auto* samples = reinterpret_cast<const float*>(data.data());
        return format.interleaved ? samples + channel : samples + channel * frameLength;
    }
    [[nodiscard]] int sampleStride() const { return format.interleaved ? format.channelCount : 1; }
};
