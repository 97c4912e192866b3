#pragma once

#include "pcmbuffer.h"
#include "track/formatconverter.h"

#include <QString>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>

// Writes one live stream of PCM buffers into one CAF track file, created lazily in the format of
// the first non-empty buffer. Fed from a real-time audio thread; errors wait for finish().
//
// The track stays on the host clock: a buffer that starts noticeably later than the audio written
// so far (the input was switched or reconnected) is preceded by silence up to its host time, and
// audio that starts before what is already written is cut to the part that is new. Buffers in
// another format are converted to the track's.
class TrackWriter
{
public:
    struct Finished
    {
        double start = 0; // host-clock seconds of the first buffer written
        bool hasSignal = false;
        // Why the file could not be closed cleanly; what was written stays readable all the same.
        std::exception_ptr closing;
    };

    explicit TrackWriter(QString path, bool checkSignal = false);
    ~TrackWriter();
    TrackWriter(const TrackWriter&) = delete;
    TrackWriter& operator=(const TrackWriter&) = delete;

    // A jump in host time up to this long is taken as the jitter of a continuous stream.
    static constexpr double gapTolerance = 0.005;

    // Writes the buffer before returning; never throws. `hostTime` is the time of its first frame.
    // False once the track has failed: it takes no more audio, and failure() says why.
    bool append(const PcmBuffer& buffer, std::uint64_t hostTime);
    // The first error met while writing, if any.
    [[nodiscard]] std::exception_ptr failure();

    // Closes the file. None when no frame was written; throws the first error met while writing.
    // A close that fails is told in Finished::closing.
    std::optional<Finished> finish();
    // Closes the file, keeping only the audio before `endHostTime`: what reached the disk before a
    // write failure is kept and the failure is not thrown. None when nothing is left.
    std::optional<Finished> finishAt(std::uint64_t endHostTime);

    [[nodiscard]] const QString& path() const { return m_path; }

    // Whether any sample is strictly louder than 1e-5 (float) or any byte is non-zero (integer).
    [[nodiscard]] static bool containsSignal(const PcmBuffer& buffer);

private:
    struct File;

    void place(const PcmBuffer& buffer, std::uint64_t hostTime);

    const QString m_path;
    std::mutex m_mutex;
    std::unique_ptr<File> m_file;
    std::optional<double> m_firstSample;
    std::uint64_t m_firstHostTime = 0;
    std::unique_ptr<FormatConverter> m_converter; // from the track's creation
    bool m_hasSignal;
    bool m_finished = false; // a late buffer must not reopen, and so truncate, a finished track
    std::exception_ptr m_failure;
};
