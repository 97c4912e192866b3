#pragma once

#include <cstdint>
#include <functional>
#include <vector>

class CallReference;
class EchoProcessor;

// The hold of a fresh canceller: while it learns the room, the microphone is held back (and
// journaled through the caller's holding) and what the canceller was given is logged, in order,
// so that the same audio can go through it again once it knows the room, and only then out.
class LearningHold
{
public:
    // One step of what the canceller was given while learning.
    struct Step
    {
        bool call = false; // a call frame from host time `callStart`, or a microphone frame
        double callStart = 0;
        double lead = 0; // of the moment the call frame went
        std::int64_t position = 0;
        std::int64_t frames = 0;
        bool cancel = false;
        bool previousCancelled = false;
    };

    // A fresh canceller: the hold starts with the first thing it is given.
    void arm() { m_fresh = true; }
    // Starts the hold at microphone `position` when the canceller is fresh.
    void beginIfFresh(std::int64_t position);
    [[nodiscard]] bool active() const { return m_active; }
    // The hold has lasted long enough, at microphone `position` and `rate`.
    [[nodiscard]] bool due(std::int64_t position, int rate) const;
    void logCall(double callStart, double lead);
    void logMicrophone(
        std::int64_t position, std::int64_t frames, bool cancel, bool previousCancelled);
    // The lead moved: the canceller learns the room again, and the hold lasts long enough for it.
    void restart() { m_cancelled = 0; }
    // Ends the hold without a replay (the canceller gave up).
    void stop() { m_active = false; }

    // Goes over the held microphone again with the canceller as it now stands, the call from
    // `call`'s timeline at `lead`: `restartInput` runs where the canceller's input breaks,
    // `replayMicrophone` for each microphone step. Ends the hold.
    void replay(EchoProcessor& processor, CallReference& call, double lead,
        const std::function<void()>& restartInput,
        const std::function<void(const Step&)>& replayMicrophone);

    // Held microphone buffers handed to the caller's holding, not yet let out.
    void journal() { ++m_journaledChunks; }
    // One of them went out; true when it was the last.
    bool released() { return --m_journaledChunks == 0; }

private:
    bool m_fresh = false;
    bool m_active = false;
    std::int64_t m_start = 0;
    // While learning, what the canceller was given, in order, to give it again; the microphone
    // buffers it has finished with wait in `done`, still raw, and on disk through `holding`.
    // The call goes again from the timeline, framed exactly as it went (the canceller has learnt
    // the room against that framing), but at the lead known by then.
    std::vector<Step> m_log;
    int m_cancelled = 0;
    int m_journaledChunks = 0; // of `done`, handed to `holding.held`
};
