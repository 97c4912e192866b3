#pragma once

#include "echo/echochunk.h"

#include <deque>
#include <functional>
#include <optional>
#include <vector>

// The call placed on the microphone's timeline: mono call audio waiting to be handed to the
// canceller from host time `cursor()`, with the silence owed where it ran late, the levels of
// the frames already handed over, the last few seconds of the call kept for the learning replay,
// and call audio at another rate (the call moved to another output) held back until the
// microphone reaches the move. Its buffers' own times only count where they stray far from the
// sample count.
class CallReference
{
public:
    // `moving` runs when call audio at another rate is placed, before anything of it is: the
    // canceller must start afresh.
    explicit CallReference(std::function<void()> moving);

    // Takes the call buffers that came in, in order (they are moved from).
    void take(std::vector<echo::Chunk>& chunks);
    // The call audio from the next move on, up to the one after.
    void applyMoved();
    // True when the call audio before a move has all gone in by `frameEnd`.
    [[nodiscard]] bool moveDue(double frameEnd) const;

    [[nodiscard]] bool started() const { return m_started; }
    [[nodiscard]] int rate() const { return m_rate; }
    [[nodiscard]] double cursor() const { return m_cursor; }
    // No call at all: silence at `rate` stands in for it from `start`.
    void startSilent(int rate, double start);
    // Call audio from before `frameStart` minus the history is of no more use.
    void dropStale(double frameStart);
    // Whether a frame that ends at `frameEnd` still has call audio to be handed over, and
    // whether the next 10 ms of it are still missing.
    [[nodiscard]] bool frameDue(double frameEnd) const;
    [[nodiscard]] bool frameMissing() const;
    // The next 10 ms, silence where the call has not come: taken, counted as handed over.
    const std::vector<float>& takeFrame();
    // Host time of the frame `takeFrame()` gave last.
    [[nodiscard]] double lastFrameStart() const;
    // No sample of the last half second of the call handed over was above -60 dBFS.
    [[nodiscard]] bool silent() const;
    // The call's power over the 10 ms of the microphone frame at hand (the call handed over
    // `lead` ahead), fed already or still waiting when the call is handed over late; nothing when
    // that audio has not come yet.
    [[nodiscard]] std::optional<float> powerAt(double lead) const;
    // The call is handed over `change` further ahead from now on (see DelayFinder).
    void shift(double change);
    // The 10 ms of the call from host time `start`, silence where none was kept.
    const std::vector<float>& timelineFrame(double start);

private:
    void add(const echo::Chunk& chunk);

    std::function<void()> m_moving;
    // Mono call audio not yet handed to the canceller, starting at host time `m_cursor`.
    std::deque<float> m_reference;
    double m_cursor = 0;
    int m_rate = 0;
    double m_owed = 0; // samples of silence fed in place of call audio still to come
    bool m_started = false;
    int m_silentFrames = echo::silentFramesBeforeBypass;
    std::deque<float> m_powers; // of the fed call frames, newest first
    std::vector<float> m_frame;
    // Call audio at another rate (the call moved to another output) waits here until the
    // microphone reaches the move: the call audio before it still has echo to take out, however
    // far the microphone lags behind the call when the move comes in.
    std::deque<echo::Chunk> m_moved;
    double m_movedQueued = 0;
    // The call as it reached us, placed on its timeline (mono, from host time `m_timelineStart`),
    // kept for the last few seconds: the learning replay hands it over again at the lead found by
    // then.
    std::deque<float> m_timeline;
    double m_timelineStart = 0;
    std::vector<float> m_timelineFrame;
};
