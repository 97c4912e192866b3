#include "echo/echocanceller.h"

#include "echo/callreference.h"
#include "echo/delayfinder.h"
#include "echo/echochunk.h"
#include "echo/echoprocessor.h"
#include "echo/incomingqueue.h"
#include "echo/learninghold.h"
#include "echo/microphoneframes.h"

#include <algorithm>
#include <cmath>
#include <deque>
#include <optional>
#include <pthread.h>
#include <thread>
#include <vector>

using namespace echo;

// The canceller's own thread, over its parts: buffers come in through IncomingQueue, the call is
// placed on the microphone's timeline by CallReference, DelayFinder decides how far ahead the
// call is handed over, EchoProcessor cancels each 10 ms frame and LearningHold holds the
// microphone back while a fresh canceller learns, and MicrophoneFrames keeps the microphone's
// buffers until they go out. What stays here is the walk along the microphone: for each 10 ms,
// whether it waits for the call, passes raw or is cancelled, and when its buffers go out.
struct EchoCanceller::State
{
    State(AudioSource::Handler output, Holding holding);

    AudioSource::Handler output;
    Holding holding;
    IncomingQueue queue;
    EchoProcessor processor;
    CallReference call;
    DelayFinder delays;
    LearningHold learning;

    MicrophoneFrames buffers;
    double microphoneCursor = 0; // host time of the first frame not yet processed
    double microphoneEnd = 0; // host time just after the newest microphone frame
    bool microphoneStarted = false;
    bool previousCancelled = false;

    // The canceller's input has been continuous since `segmentStart`: its output for earlier
    // positions belongs to other audio.
    std::int64_t segmentStart = 0;
    std::int64_t cancellerInputEnd = -1;

    std::thread thread;

    void run();
    void take(std::vector<Chunk>& microphoneChunks, std::vector<Chunk>& referenceChunks);
    void callMoving();
    void addMicrophone(Chunk chunk);
    void processAvailable(bool last);
    bool feedReference(double frameEnd, bool mayPad);
    void feedReferenceFrame();
    bool prepareCanceller(const PcmFormat& format);
    void processFrame(std::int64_t frames, bool cancel);
    void gatherInput(std::int64_t position, std::int64_t frames);
    void beginLearningIfFresh();
    void finishLearning();
    void writeCancelled(std::int64_t position, std::int64_t frames, bool cancel, bool wasCancelled);
    void releaseDone(bool all = false);
    void flushTail();
    void release(const Chunk& chunk);
    void skipFrames(std::int64_t frames);
    void updateCoupling();
    void emitDone();
    void releaseHeld() noexcept;
};

EchoCanceller::State::State(AudioSource::Handler output, Holding holding)
    : output(std::move(output))
    , holding(std::move(holding))
    , queue(this->output, [this] { releaseHeld(); })
    , call([this] { callMoving(); })
{ }

EchoCanceller::EchoCanceller(AudioSource::Handler output, Holding holding)
    : m_state(std::make_unique<State>(std::move(output), std::move(holding)))
{
    m_state->thread = std::thread([state = m_state.get()] { state->run(); });
}

EchoCanceller::~EchoCanceller()
{
    finish();
}

void EchoCanceller::pushReference(const PcmBuffer& buffer, std::uint64_t hostTime) noexcept
{
    m_state->queue.pushReference(buffer, hostTime);
}

void EchoCanceller::pushMicrophone(const PcmBuffer& buffer, std::uint64_t hostTime) noexcept
{
    m_state->queue.pushMicrophone(buffer, hostTime);
}

void EchoCanceller::finish() noexcept
{
    State& state = *m_state;
    state.queue.stop();
    if (state.thread.joinable()) {
        state.thread.join();
    }
}

void EchoCanceller::State::run()
{
    pthread_setname_np(pthread_self(), "Parlevox.echo");
    queue.serve([this](std::vector<Chunk>& microphoneChunks, std::vector<Chunk>& referenceChunks,
                    bool last) {
        take(microphoneChunks, referenceChunks);
        processAvailable(last);
        if (last) {
            if (learning.active()) {
                finishLearning();
            }
            flushTail();
            releaseDone(true);
        }
    });
}

void EchoCanceller::State::take(
    std::vector<Chunk>& microphoneChunks, std::vector<Chunk>& referenceChunks)
{
    call.take(referenceChunks);
    for (Chunk& chunk : microphoneChunks) {
        addMicrophone(std::move(chunk));
    }
    microphoneChunks.clear();
}

// The call moved to an output of another rate: the canceller starts afresh, and learns the room
// again while it holds the microphone back.
void EchoCanceller::State::callMoving()
{
    if (!processor.ready()) {
        return;
    }
    if (learning.active()) {
        finishLearning();
    }
    processor.reset();
}

void EchoCanceller::State::addMicrophone(Chunk chunk)
{
    if (!microphoneStarted) {
        microphoneCursor = double(chunk.hostTime);
        microphoneStarted = true;
    }
    microphoneEnd = std::max(microphoneEnd, double(chunk.hostTime) + chunk.duration());
    buffers.microphone.push_back(std::move(chunk));
}

void EchoCanceller::State::processAvailable(bool last)
{
    while (!buffers.microphone.empty()) {
        if (learning.active() && learning.due(buffers.position(), processor.format().sampleRate)) {
            finishLearning();
        }
        const Chunk& first = buffers.microphone.front();
        // Where a buffer starts, its own time wins over the running count when they disagree.
        if (buffers.microphoneDone == 0
            && std::abs(double(first.hostTime) - microphoneCursor) > continuityTolerance) {
            microphoneCursor = double(first.hostTime);
        }
        if (call.moveDue(microphoneCursor + frameNanoseconds + delays.lead())) {
            call.applyMoved(); // the call before the move has all gone in
            continue;
        }
        const PcmFormat format = first.format;
        const std::int64_t frameLength = format.sampleRate / 100;
        const std::int64_t available = buffers.available();
        std::int64_t waiting = -buffers.microphoneDone;
        for (const Chunk& chunk : buffers.microphone) {
            waiting += chunk.frames;
        }
        if (!usableRate(format.sampleRate) || processor.broken()) {
            skipFrames(available);
            continue;
        }
        // The last piece, shorter than a frame, is cancelled as a frame padded with silence when
        // the canceller is at work; one before a change of format goes out raw.
        const bool padLast = last && available == waiting && previousCancelled && processor.ready()
            && format == processor.format();
        if (available < frameLength && !padLast) {
            if (last || available < waiting) {
                skipFrames(available);
                previousCancelled = false;
                continue;
            }
            return;
        }
        const double backlog = double(available) * nanosecondsPerSecond / format.sampleRate;
        if (backlog > maximumBacklog) {
            // Behind: let the oldest audio through raw, and the call audio that went with it.
            const std::int64_t behind
                = available - std::int64_t(maximumBacklog / 2 * format.sampleRate / 1e9);
            skipFrames(behind - behind % frameLength);
            previousCancelled = false;
            continue;
        }
        if (!prepareCanceller(format)) {
            processor.markBroken();
            continue;
        }
        const double frameEnd = microphoneCursor + frameNanoseconds + delays.lead();
        const bool mayPad = last || microphoneEnd - frameEnd > referenceWait;
        if (!feedReference(frameEnd, mayPad)) {
            return; // the call audio of this moment is still on its way
        }
        if (processor.broken()) {
            continue;
        }
        const bool callTalking = !call.silent();
        if (!callTalking && !previousCancelled) {
            // The call has been silent for half a second: the microphone goes out as it came
            // and the canceller rests, which costs nothing while nobody is on the line.
            delays.forget();
            skipFrames(frameLength);
            continue;
        }
        processFrame(frameLength, callTalking && delays.coupled());
    }
}

// Hands the canceller the call audio up to `frameEnd`, padding with silence where it is missing
// and `mayPad` allows. False when the frame must wait for more call audio.
bool EchoCanceller::State::feedReference(double frameEnd, bool mayPad)
{
    if (!call.started()) {
        if (!mayPad) {
            return false;
        }
        // No call at all: silence at the microphone's rate stands in for it.
        call.startSilent(buffers.microphone.front().format.sampleRate, frameEnd - frameNanoseconds);
    }
    if (!usableRate(call.rate())) {
        return true;
    }
    call.dropStale(frameEnd - frameNanoseconds);
    while (call.frameDue(frameEnd)) {
        if (call.frameMissing() && !mayPad) {
            return false;
        }
        feedReferenceFrame();
    }
    return true;
}

void EchoCanceller::State::feedReferenceFrame()
{
    const std::vector<float>& frame = call.takeFrame();
    // A call silent for a while has nothing more to teach the canceller (see processAvailable).
    if (!processor.ready() || processor.broken() || call.silent()) {
        return;
    }
    const double frameStart = call.lastFrameStart();
    beginLearningIfFresh();
    if (processor.feedReference(frame, call.rate()) && learning.active()) {
        learning.logCall(frameStart, delays.lead());
    }
}

bool EchoCanceller::State::prepareCanceller(const PcmFormat& format)
{
    if (processor.ready() && format == processor.format()) {
        return true;
    }
    if (learning.active()) {
        finishLearning();
    }
    if (!processor.start(format, call.rate())) {
        return false;
    }
    cancellerInputEnd = -1;
    previousCancelled = false;
    learning.arm();
    return true;
}

void EchoCanceller::State::processFrame(std::int64_t frames, bool cancel)
{
    beginLearningIfFresh();
    const std::int64_t position = buffers.position();
    gatherInput(position, frames);
    updateCoupling();
    if (learning.active()) {
        learning.logMicrophone(position, frames, cancel, previousCancelled);
    }
    writeCancelled(position, frames, cancel, previousCancelled && !learning.active());
    previousCancelled = cancel;
    skipFrames(frames);
}

// Follows how loud the call comes back in the microphone, and when; moves the call when the echo
// is found elsewhere than where the canceller looks.
void EchoCanceller::State::updateCoupling()
{
    const std::optional<double> moved
        = delays.update(processor.input(), call.powerAt(delays.lead()));
    if (moved) {
        // The canceller learns the room again: a learning hold lasts long enough for it.
        learning.restart();
        processor.echoMoved();
        call.shift(*moved);
    }
}

// Cancels the frame in `input`, which starts at `position`, and, unless learning, writes the
// output back where it belongs: `lagFrames` earlier, never before the input became continuous.
void EchoCanceller::State::writeCancelled(
    std::int64_t position, std::int64_t frames, bool cancel, bool wasCancelled)
{
    if (position != cancellerInputEnd) {
        segmentStart = position;
    }
    if (!processor.cancel()) {
        cancellerInputEnd = -1;
        return;
    }
    cancellerInputEnd = position + frames;
    if (!learning.active()) {
        buffers.scatter(position - processor.lagFrames(), frames, segmentStart, cancel,
            wasCancelled, processor.format(), processor.processed());
    }
}

void EchoCanceller::State::gatherInput(std::int64_t position, std::int64_t frames)
{
    processor.clearInput(frames);
    buffers.gather(position, frames, processor.format(), processor.input());
}

void EchoCanceller::State::beginLearningIfFresh()
{
    learning.beginIfFresh(buffers.position());
}

// Goes over the held microphone again with the canceller as it now stands, then lets it out.
void EchoCanceller::State::finishLearning()
{
    learning.replay(
        processor, call, delays.lead(), [this] { cancellerInputEnd = -1; },
        [this](const LearningHold::Step& step) {
            gatherInput(step.position, step.frames);
            writeCancelled(step.position, step.frames, step.cancel, step.previousCancelled);
        });
    releaseDone();
}

// The canceller's output for the last `lagFrames` is still inside it: a frame of silence brings
// it out.
void EchoCanceller::State::flushTail()
{
    const std::int64_t end = buffers.position();
    if (!processor.ready() || processor.broken() || !previousCancelled || cancellerInputEnd != end
        || processor.lagFrames() == 0) {
        return;
    }
    const std::int64_t frameLength = processor.format().sampleRate / 100;
    if (!feedReference(microphoneCursor + frameNanoseconds + delays.lead(), true)
        || processor.broken()) {
        return;
    }
    processor.clearInput(frameLength);
    writeCancelled(end, frameLength, true, true);
}

// Lets out the finished buffers whose cancelled output is complete, or `all` of them.
void EchoCanceller::State::releaseDone(bool all)
{
    if (learning.active() && !all) {
        return;
    }
    while (!buffers.done.empty()
        && (all
            || buffers.doneFrames - buffers.done.front().frames + buffers.microphoneDone
                >= processor.lagFrames())) {
        release(buffers.done.front());
        buffers.doneFrames -= buffers.done.front().frames;
        buffers.done.pop_front();
    }
}

void EchoCanceller::State::release(const Chunk& chunk)
{
    output(chunk.view(), chunk.hostTime);
    buffers.outputFrames += chunk.frames;
    if (chunk.journaled && learning.released() && holding.released) {
        holding.released();
    }
}

// Marks frames as done as they stand and lets out the buffers that are complete.
void EchoCanceller::State::skipFrames(std::int64_t frames)
{
    while (frames > 0 && !buffers.microphone.empty()) {
        const Chunk& first = buffers.microphone.front();
        const std::int64_t step = std::min(frames, first.frames - buffers.microphoneDone);
        buffers.microphoneDone += step;
        frames -= step;
        microphoneCursor += double(step) * nanosecondsPerSecond / first.format.sampleRate;
        emitDone();
    }
    emitDone();
    call.dropStale(microphoneCursor);
}

void EchoCanceller::State::emitDone()
{
    while (!buffers.microphone.empty()
        && buffers.microphoneDone >= buffers.microphone.front().frames) {
        Chunk& chunk = buffers.microphone.front();
        if (learning.active()) {
            if (holding.held) {
                holding.held(chunk.view(), chunk.hostTime);
            }
            chunk.journaled = true;
            learning.journal();
        }
        buffers.doneFrames += chunk.frames;
        buffers.done.push_back(std::move(chunk));
        buffers.microphone.pop_front();
        buffers.microphoneDone = 0;
    }
    releaseDone();
}

// Both mutexes held (see IncomingQueue): everything the canceller holds goes out raw, in order.
void EchoCanceller::State::releaseHeld() noexcept
{
    learning.stop();
    releaseDone(true);
    for (const Chunk& chunk : buffers.microphone) {
        release(chunk);
    }
    buffers.microphone.clear();
    buffers.microphoneDone = 0;
}
