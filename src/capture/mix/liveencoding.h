#pragma once

#include "ffmpegsupport.h"
#include "mix/livemix.h"
#include "mix/m4awriter.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

// One buffer copied out of a callback.
struct LiveMix::Chunk
{
    Input input = Input::microphone;
    std::uint64_t hostTime = 0;
    PcmFormat format;
    std::int64_t frames = 0;
    std::vector<std::byte> bytes;

    [[nodiscard]] PcmBuffer buffer() const { return { format, frames, bytes }; }
};

// The encoder thread's state: per input the resamplers and its place on the timeline, the mix
// not yet encoded, and the three encoders.
class LiveMix::Encoding
{
public:
    Encoding(const Files& files, double gapTolerance, LiveFeed* feed);

    // Places a buffer on its input's timeline, after any gap since the one before.
    void add(const Chunk& chunk);

    // Encodes the mix as far as every input has reached, or as far as a late one may still reach.
    void encodeReady();

    // Completes the files for the kept tracks; false when the mix cannot be what the stop asks.
    bool finish(const Layout& layout);

private:
    struct Track
    {
        std::optional<double> start; // host-clock seconds of the first frame
        PcmFormat format;
        ffmpeg::Resampler toMix; // 48 kHz stereo, planar float
        ffmpeg::Resampler toUpload; // 16 kHz mono float
        double anchor = 0; // host-clock seconds of the frame counted from
        std::int64_t anchorFrames = 0; // frames since then, in the input's rate
        std::int64_t position = 0; // mix index of the next resampled sample
        bool contributing = false;
        std::optional<PartFile> upload;
        std::unique_ptr<M4aWriter> writer;
        std::array<std::vector<float>, 2> mixed;
        std::vector<float> speech;
    };

    void begin(Track& track, const PcmFormat& format, double seconds);

    // Places what the resamplers hold and goes on from here in `format`, counting frames anew.
    void restart(Track& track, const PcmFormat& format);

    void open(Track& track, const PcmFormat& format);

    // The track writer keeps a jump in host time as silence; so does the mix.
    void fillGap(Track& track, double seconds);

    void convert(Track& track, const PcmBuffer& buffer);

    // What the resamplers still hold, at the end of the track or before a change of format.
    void drain(Track& track);

    void resample(Track& track, const std::uint8_t* const* input, int frames);

    // Adds resampled samples of an input into the mix at `position`.
    void place(std::size_t input, std::int64_t position,
        const std::array<std::vector<float>, 2>& samples, int count);

    void encodeUntil(std::int64_t until);

    // A failing feed stops alone: the mix goes on.
    void feed(std::size_t count) noexcept;

    // The copies for the transcription are a convenience: without them it converts the tracks.
    void keepUploads() noexcept;

    Files m_files;
    double m_gapTolerance;
    LiveFeed* m_feed; // none once it failed
    PartFile m_mixPart;
    M4aWriter m_mix;
    std::array<Track, 2> m_inputs;
    std::optional<double> m_reference; // host-clock seconds of the first frame of all
    std::optional<std::int64_t> m_origin; // mix index of the mix's first sample
    std::int64_t m_encoded = 0; // mix index of the first sample not yet encoded
    std::array<std::vector<float>, 2> m_pending; // the mix from m_encoded on
    std::array<std::vector<float>, 2> m_inputsPending; // for the feed, each input alone
    bool m_mismatch = false;
};
