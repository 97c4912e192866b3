#pragma once

#include "pcmbuffer.h"

#include <cstdint>
#include <memory>
#include <vector>

struct SwrContext;

// Brings buffers of another rate, channel count or sample type to the format a track was created
// with (interleaved), so that a device change mid-recording does not change the track's format.
class FormatConverter
{
public:
    explicit FormatConverter(const PcmFormat& target);
    ~FormatConverter();
    FormatConverter(const FormatConverter&) = delete;
    FormatConverter& operator=(const FormatConverter&) = delete;

    // Whether buffers of `format` need converting before they go into the track.
    [[nodiscard]] bool needed(const PcmFormat& format) const;

    // Converts `buffer`; the result views memory that stays valid until the next call. The
    // resampler keeps a few frames back: `delay` is how many nanoseconds before the buffer's first
    // frame the first converted frame was captured. Throws PlatformError.
    PcmBuffer convert(const PcmBuffer& buffer, std::uint64_t& delay);

private:
    struct Free
    {
        void operator()(SwrContext* context) const;
    };

    PcmFormat m_target;
    PcmFormat m_source;
    std::unique_ptr<SwrContext, Free> m_resampler;
    std::vector<std::byte> m_output;
};
