#pragma once

#include "mix/livefeed.h"
#include "pcmbuffer.h"
#include "track/trackwriter.h"

#include <QString>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

// Mixes the two inputs of a recording while it runs, on a thread of its own: each buffer is
// resampled to 48 kHz stereo, placed on the mix timeline by its host time and summed, and the mix
// is encoded into a hidden file beside the tracks. A speech copy of each input (16 kHz mono) is
// encoded too, for the transcription upload. The audio callbacks hand their buffers over through a
// bounded queue and never wait for the encoding; when the queue overflows or the encoding fails,
// the live mix is given up and the tracks are mixed after the stop instead.
class LiveMix
{
public:
    enum class Input
    {
        microphone,
        system,
    };

    // Where the finished files go.
    struct Files
    {
        QString mix;
        QString microphoneUpload;
        QString systemUpload;
    };

    struct Settings
    {
        std::size_t queueBytes = std::size_t(32) << 20; // about 40 s of both inputs
        bool waitWhenFull = false; // for benchmarks that feed faster than real time
        std::function<void()> beforeDrain; // runs on the encoder thread before each batch
        // A buffer whose host time is later than the frames before it account for by more than
        // this starts after a gap, kept as silence. It is the track writers' own rule, so that
        // the mix stays the tracks' mix.
        double gapTolerance = TrackWriter::gapTolerance; // seconds
        // Given each input alone as it is mixed, and told when the mix stops short; it must
        // outlive this object.
        LiveFeed* feed = nullptr;
    };

    // The tracks that the stop keeps, each with its start in host-clock seconds.
    struct Layout
    {
        std::optional<double> microphoneStart;
        std::optional<double> systemStart;
    };

    // Creates the hidden files and starts the encoder thread; throws when that fails.
    LiveMix(Files files, Settings settings);
    ~LiveMix(); // unfinished files are removed
    LiveMix(const LiveMix&) = delete;
    LiveMix& operator=(const LiveMix&) = delete;

    // From an audio callback: copies the buffer into the queue and returns.
    void append(Input input, const PcmBuffer& buffer, std::uint64_t hostTime) noexcept;

    // Once no buffer comes any more: encodes what is queued, completes the mix of the kept tracks
    // and gives the files their names (the upload copies only when both tracks are kept). False
    // when the live mix was given up or cannot be what the layout asks; nothing is then named.
    [[nodiscard]] bool finish(const Layout& layout) noexcept;

private:
    struct Chunk;
    class Encoding;

    void run();
    void giveUp() noexcept;

    Settings m_settings;
    std::unique_ptr<Encoding> m_encoding; // only the encoder thread touches it until finish()
    std::atomic<bool> m_givenUp { false };
    std::atomic<bool> m_closing { false }; // given up by the destructor, not for a fault

    std::mutex m_mutex;
    std::condition_variable m_wake; // the encoder thread: finishing or giving up
    std::condition_variable m_space; // waiting producers (waitWhenFull only)
    std::vector<std::unique_ptr<Chunk>> m_pending;
    std::vector<std::unique_ptr<Chunk>>
        m_spare; // copies reused, so steady feeding allocates nothing
    std::size_t m_queuedBytes = 0;
    bool m_finishing = false;
    std::thread m_thread;
};
