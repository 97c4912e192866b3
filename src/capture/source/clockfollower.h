#pragma once

#include "audiosource.h"

#include <memory>

// Puts one input on the host clock. A device's crystal runs a little fast or slow against the
// host's (tens to hundreds of ppm), so counting its frames at the nominal rate drifts away from
// real time by up to a second an hour. The follower fits each stream's measured times (the
// source's `measuredTime`, or else the buffers' own) against its frame count, a robust line over
// the last minute, and resamples the stream by how far they drift from the start the source gave
// it (never inserting or dropping samples), so that downstream a buffer's host time is the time
// of its first frame at the nominal rate and also when it was captured.
//
// Buffers come out in the format they came in, their times following their frame counts. A new
// stream of the source (a device switch, a reconnect) starts where it was captured, after the
// silence before it; one that would start before the end of what went out already follows it,
// its overlap dropped and counted as lost, so that the track and the live mix treat it alike.
class ClockFollower final : public AudioSource
{
public:
    // A buffer whose reported time is this far from where the last one's leads starts a new
    // stream, as one with a new number from the source does.
    static constexpr double streamJump = 0.05; // seconds

    ClockFollower(std::unique_ptr<AudioSource> source, AudioLoss::Input input);
    ~ClockFollower() override;
    ClockFollower(const ClockFollower&) = delete;
    ClockFollower& operator=(const ClockFollower&) = delete;

    void start(Handler handler) override;
    // `unfollowed` gets every buffer as the source gave it, before it is followed.
    void start(Handler handler, Handler unfollowed);
    // Stops the source, then hands over what the resampler still holds.
    void stop() noexcept override;
    [[nodiscard]] std::vector<AudioLoss> losses() const override;

private:
    class Follower;

    std::unique_ptr<AudioSource> m_source;
    AudioLoss::Input m_input;
    std::unique_ptr<Follower> m_follower;
};
