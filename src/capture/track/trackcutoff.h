#pragma once

#include "pcmbuffer.h"

#include <QString>
#include <atomic>
#include <cstdint>
#include <exception>
#include <functional>
#include <mutex>
#include <optional>

class SpaceReserve;
class TrackWriter;

// Where both tracks of a recording end when the disk gives out. Once a track cannot be written,
// or the space held for the mix cannot grow, neither track takes audio from that instant on, so
// the two stay the same length and in step; the recording itself goes on until it is stopped.
class TrackCutoff
{
public:
    // Told once, on the audio thread that met the failure, with the French sentence to show.
    using Handler = std::function<void(const QString& sentence)>;

    TrackCutoff(SpaceReserve& reserve, Handler interrupted);

    // Appends through `writer`, unless the tracks were cut before `hostTime`. True when the buffer
    // was written.
    bool append(TrackWriter& writer, const PcmBuffer& buffer, std::uint64_t hostTime);

    // The host time both tracks end at, once cut.
    [[nodiscard]] std::optional<std::uint64_t> instant() const;
    // How long the tracks ran before the cut, in seconds.
    [[nodiscard]] double recordedSeconds() const;
    // The sentence shown while the recording goes on after the cut.
    [[nodiscard]] QString interruptedSentence() const;
    // The sentence that goes after the status of the stopped recording.
    [[nodiscard]] QString stoppedSentence() const;

private:
    void cut(std::uint64_t hostTime, std::exception_ptr reason);
    [[nodiscard]] bool diskFull() const;
    [[nodiscard]] QString reasonText() const;

    SpaceReserve& m_reserve;
    Handler m_interrupted;
    static constexpr std::uint64_t notCut = UINT64_MAX;
    std::atomic<std::uint64_t> m_instant { notCut };
    std::atomic<std::uint64_t> m_firstHostTime { notCut };
    mutable std::mutex m_mutex;
    std::exception_ptr m_reason;
};

// "18 s", "12 min 05 s", "1 h 02 min".
[[nodiscard]] QString durationText(double seconds);
