#include "echo/echocanceller.h"

#include "echo/doubletalkpath.h"

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <pthread.h>
#include <thread>
#include <vector>
#include <webrtc/modules/audio_processing/include/audio_processing.h>

namespace {

constexpr double nanosecondsPerSecond = 1e9;
constexpr double frameNanoseconds = 10e6; // the canceller works on 10 ms frames
// Each feed is taken as continuous from its first buffer, as its track is written, unless a
// buffer's time strays further than this from the sample count: the timing reports of single
// buffers wander by a few hundred milliseconds while a stream settles, and following them would
// tear the call apart from its echo.
constexpr double continuityTolerance = 1e9;
// How long a microphone frame waits, in microphone time, for the call audio of the same moment:
// the call's buffers can arrive a few hundred milliseconds after the microphone's.
constexpr double referenceWait = 1e9;
// The call is handed over this far ahead of the microphone frame: an echo that arrives almost at
// once still finds its reference inside the canceller's window.
constexpr double referenceLead = 100e6;
// The delay the canceller is told: with the lead above, it centres its window on echoes from
// about 50 ms before to 60 ms after the call's own time.
constexpr int nominalDelayMs = 100;
// Call audio older than this before the frame at hand explains nothing any more.
constexpr double referenceHistory = 500e6;
// Unprocessed microphone audio beyond this passes through raw until the canceller caught up.
constexpr double maximumBacklog = 2e9;
// Queued microphone audio beyond this means the canceller's thread is stuck: the microphone's
// own thread takes over and writes the raw microphone from then on.
constexpr double stuckBacklog = 10e9;
// The call is silent when no sample of its last half second is louder than -60 dBFS: the
// microphone then comes out exactly as it went in.
constexpr float silenceThreshold = 0.001f;
constexpr int silentFramesBeforeBypass = 50;
// How much quieter the microphone stays than the call while the call talks (in dB, over windows
// that cover any echo delay the canceller handles). Above this, nothing of the call reaches the
// microphone (headphones): the microphone passes through. The estimate forgets slowly, so that
// moving to loudspeakers brings the canceller back within seconds.
constexpr double decoupledLoss = 40;
constexpr double largestLoss = 50;
constexpr double lossDecayPerFrame = 0.02;
constexpr float activeCallPower = 1e-4f;
// The last second of microphone against the call from 900 to 500 ms before, whose echo is in that
// second at any delay up to 500 ms.
constexpr std::size_t microphoneWindowFrames = 100;
constexpr std::size_t callWindowStart = 90;
constexpr std::size_t callWindowEnd = 50;
// The canceller adapts quickly only to echoes within about 50 ms of the delay it is told, and an
// echo reaches the microphone 10 to 300 ms after the call plays it (the output's latency, the
// room, a Bluetooth speaker), beside any disagreement of the two feeds' host times. The echo's
// actual delay is measured from the 10 ms levels of the last 1.5 s (the microphone's against the
// call's, lags up to 500 ms either way), and the call is then handed over early (or late) enough
// to put the echo where the canceller expects it.
constexpr std::size_t levelHistoryFrames = 150;
constexpr int delayCheckFrames = 50;
constexpr int largestLagFrames = 50;
// The first check comes after a second, soon enough for the learning hold to cover it.
constexpr std::size_t firstDelayCheckFrames = 2 * largestLagFrames;
constexpr double delayMatch = 0.9; // correlation of the log levels needed to trust a lag
constexpr double targetDelay = 100e6;
constexpr double largestLead = 500e6;
constexpr double smallestLead = targetDelay - largestLagFrames * frameNanoseconds;
// Smaller corrections are left to the canceller's own delay estimate: moving the call makes it
// learn the room again.
constexpr double leadStep = 40e6;
// A fresh canceller needs a second or two of the call to learn the room, and the echo of those
// first sentences would stay in the recording. So the microphone is held back while it learns,
// then the same audio goes through the canceller again, which by then knows the room. The hold
// ends after this much cancelling, or once this much microphone is held.
constexpr int learningFrames = 200;
constexpr double learningLimit = 3e9;
// The held audio goes through twice more: once to learn it again at the lead found meanwhile (the
// first seconds of a long echo path were learnt before the lead moved), once for the output.
constexpr int learningPasses = 2;
// Silence fed before each pass, so that the canceller's memory of the call starts as empty as it
// did the first time: half a second before the first, and before the one that is written just
// what its filters reach (the delay it is told and the filter, about 250 ms). Measured: after
// half a second of silence there too, the call's first words came through 20 dB louder.
constexpr int learningFlushFrames = 50;
constexpr int writtenPassFlushFrames = 25;
// The linear canceller that keeps the local voice in double talk gets the call this many frames
// later than the main one, which puts an echo that arrives `targetDelay` after the call audio
// handed over half-way through its filter.
constexpr int doubleTalkDelayFrames
    = int((targetDelay - DoubleTalkPath::filterMilliseconds * 1e6 / 2) / frameNanoseconds);

struct Chunk
{
    PcmFormat format;
    std::int64_t frames = 0;
    std::vector<std::byte> bytes;
    std::uint64_t hostTime = 0;
    bool journaled = false; // handed to the holding while the canceller learnt

    Chunk(const PcmBuffer& buffer, std::uint64_t hostTime)
        : format(buffer.format)
        , frames(buffer.frameLength)
        , bytes(buffer.data.begin(), buffer.data.end())
        , hostTime(hostTime)
    { }

    [[nodiscard]] PcmBuffer view() const { return { format, frames, bytes }; }
    [[nodiscard]] double duration() const
    {
        return double(frames) * nanosecondsPerSecond / format.sampleRate;
    }
    [[nodiscard]] std::size_t index(std::int64_t frame, int channel) const
    {
        return std::size_t(
            format.interleaved ? frame * format.channelCount + channel : channel * frames + frame);
    }

    [[nodiscard]] float sample(std::int64_t frame, int channel) const
    {
        const std::size_t at = index(frame, channel);
        switch (format.sampleType) {
        case SampleType::Float32:
            return reinterpret_cast<const float*>(bytes.data())[at];
        case SampleType::Int16:
            return float(reinterpret_cast<const std::int16_t*>(bytes.data())[at]) / 32768.0f;
        case SampleType::Int32:
            return float(
                double(reinterpret_cast<const std::int32_t*>(bytes.data())[at]) / 2147483648.0);
        }
        return 0;
    }

    void setSample(std::int64_t frame, int channel, float value)
    {
        const std::size_t at = index(frame, channel);
        const double clamped = std::clamp(double(value), -1.0, 1.0);
        switch (format.sampleType) {
        case SampleType::Float32:
            reinterpret_cast<float*>(bytes.data())[at] = value;
            break;
        case SampleType::Int16:
            reinterpret_cast<std::int16_t*>(bytes.data())[at]
                = std::int16_t(std::lround(std::clamp(clamped * 32768.0, -32768.0, 32767.0)));
            break;
        case SampleType::Int32:
            reinterpret_cast<std::int32_t*>(bytes.data())[at] = std::int32_t(
                std::llround(std::clamp(clamped * 2147483648.0, -2147483648.0, 2147483647.0)));
            break;
        }
    }
};

bool usableRate(int rate)
{
    return rate >= 8000 && rate <= 192000 && rate % 100 == 0;
}

// The echo canceller alone, for microphone frames of `format` and a mono call at `referenceRate`:
// nothing that would reshape the voice when there is no echo.
std::unique_ptr<webrtc::AudioProcessing> makeProcessor(const PcmFormat& format, int referenceRate)
{
    webrtc::Config config;
    config.Set<webrtc::ExtendedFilter>(new webrtc::ExtendedFilter(true));
    config.Set<webrtc::DelayAgnostic>(new webrtc::DelayAgnostic(true));
    std::unique_ptr<webrtc::AudioProcessing> processor(webrtc::AudioProcessing::Create(config));
    if (!processor) {
        return nullptr;
    }
    const bool configured = processor->high_pass_filter()->Enable(false) == 0
        && processor->gain_control()->Enable(false) == 0
        && processor->noise_suppression()->Enable(false) == 0
        && processor->voice_detection()->Enable(false) == 0
        && processor->level_estimator()->Enable(false) == 0
        && processor->echo_cancellation()->Enable(true) == 0
        && processor->echo_cancellation()->enable_drift_compensation(false) == 0
        && processor->echo_cancellation()->set_suppression_level(
               webrtc::EchoCancellation::kLowSuppression)
            == 0;
    webrtc::ProcessingConfig streams;
    streams.input_stream() = webrtc::StreamConfig(format.sampleRate, format.channelCount);
    streams.output_stream() = streams.input_stream();
    streams.reverse_input_stream() = webrtc::StreamConfig(referenceRate, 1);
    streams.reverse_output_stream() = streams.reverse_input_stream();
    if (!configured || processor->Initialize(streams) != webrtc::AudioProcessing::kNoError) {
        return nullptr;
    }
    return processor;
}

// How many frames the canceller's output runs behind its input at `rate` (its band-splitting
// filters and block framing: 7 to 9 ms), found by putting noise through a spare one and matching
// what comes out against what went in. 0 when no clear match shows.
std::int64_t measureProcessingDelay(int rate)
{
    static std::mutex mutex;
    static std::vector<std::pair<int, std::int64_t>> known;
    const std::lock_guard lock(mutex);
    for (const auto& [knownRate, delay] : known) {
        if (knownRate == rate) {
            return delay;
        }
    }
    std::int64_t delay = 0;
    const PcmFormat mono { rate, 1, SampleType::Float32, true };
    if (const std::unique_ptr<webrtc::AudioProcessing> processor = makeProcessor(mono, rate)) {
        const std::size_t frame = std::size_t(rate / 100);
        constexpr std::size_t probeFrames = 30;
        std::vector<float> noise(frame * probeFrames);
        std::uint32_t seed = 12345;
        for (float& sample : noise) {
            seed = seed * 1664525u + 1013904223u;
            sample = 0.2f * (float(seed >> 8) / float(1u << 24) - 0.5f);
        }
        std::vector<float> out(noise.size());
        const std::vector<float> silence(frame, 0.0f);
        std::vector<float> scratch(frame);
        const webrtc::StreamConfig config(rate, 1);
        bool working = true;
        for (std::size_t index = 0; index < probeFrames && working; ++index) {
            const float* reference[] = { silence.data() };
            float* referenceOut[] = { scratch.data() };
            const float* in[] = { noise.data() + index * frame };
            float* processed[] = { out.data() + index * frame };
            processor->set_stream_delay_ms(0);
            working = processor->ProcessReverseStream(reference, config, config, referenceOut)
                    == webrtc::AudioProcessing::kNoError
                && processor->ProcessStream(in, config, config, processed)
                    == webrtc::AudioProcessing::kNoError;
        }
        // Lags up to two frames, over the second half of the probe.
        double best = 0;
        const std::size_t from = noise.size() / 2;
        for (std::size_t lag = 0; working && lag < 2 * frame; ++lag) {
            double product = 0, inPower = 0, outPower = 0;
            for (std::size_t at = from; at < noise.size(); ++at) {
                const double x = noise[at - lag];
                product += x * out[at];
                inPower += x * x;
                outPower += double(out[at]) * out[at];
            }
            const double correlation
                = inPower > 0 && outPower > 0 ? product / std::sqrt(inPower * outPower) : 0;
            if (correlation > best) {
                best = correlation;
                delay = std::int64_t(lag);
            }
        }
        // Rates the library resamples inside (44.1 kHz) come out band-limited: a lower match.
        if (best < 0.5) {
            delay = 0;
        }
    }
    known.emplace_back(rate, delay);
    return delay;
}

} // namespace

struct EchoCanceller::State
{
    AudioSource::Handler output;
    Holding holding;

    // Shared with the feeding threads.
    std::mutex queueMutex;
    std::condition_variable wake;
    std::vector<Chunk> incomingMicrophone;
    std::vector<Chunk> incomingReference;
    double incomingBacklog = 0; // nanoseconds of microphone audio queued
    double incomingReferenceQueued = 0; // and of call audio
    bool newData = false;
    bool stopping = false;
    // Set once, with both mutexes held: from then on the microphone goes straight to `output`.
    bool gaveUp = false;

    // Held by whoever works on what follows: the canceller's thread, or the microphone's thread
    // when it takes over from a stuck canceller.
    std::mutex processing;

    std::unique_ptr<webrtc::AudioProcessing> canceller;
    std::unique_ptr<DoubleTalkPath> doubleTalk;
    PcmFormat cancellerFormat; // of the microphone frames the canceller was set up for
    bool cancellerBroken = false;

    // Microphone buffers in arrival order; the first `microphoneDone` frames of the first one
    // have been processed. A buffer leaves once all its frames are done.
    std::deque<Chunk> microphone;
    std::int64_t microphoneDone = 0;
    double microphoneCursor = 0; // host time of the first frame not yet processed
    double microphoneEnd = 0; // host time just after the newest microphone frame
    bool microphoneStarted = false;
    bool previousCancelled = false;

    // Mono call audio not yet handed to the canceller, starting at host time `referenceCursor`.
    std::deque<float> reference;
    double referenceCursor = 0;
    int referenceRate = 0;
    double referenceOwed = 0; // samples of silence fed in place of call audio still to come
    bool referenceStarted = false;
    int silentReferenceFrames = silentFramesBeforeBypass;
    std::deque<float> referencePowers; // of the fed call frames, newest first
    // Call audio at another rate (the call moved to another output) waits here until the
    // microphone reaches the move: the call audio before it still has echo to take out, however
    // far the microphone lags behind the call when the move comes in.
    std::deque<Chunk> movedReference;
    double movedReferenceQueued = 0;
    // Per processed microphone frame, oldest first: its power, and the call's at the same time.
    std::deque<float> microphoneLevels;
    std::deque<float> callLevels;
    double lead = referenceLead;
    int framesSinceDelayCheck = 0;
    double couplingLoss = 0; // dB; starts as if the call reached the microphone

    std::vector<std::vector<float>> input;
    std::vector<std::vector<float>> processed;
    std::vector<const float*> inputChannels; // the canceller's view of `input` and `processed`
    std::vector<float*> processedChannels;
    std::vector<float> referenceFrame;
    std::vector<float> referenceScratch;

    // The canceller's output runs `lagFrames` behind its input (its filter bank and block
    // framing). Its output is written back where the microphone heard it, so that switching
    // between cancelled and raw audio never moves the track in time; buffers it has finished
    // with wait in `done` until the output for their last frame is in. Positions count the
    // microphone's frames from the first one: `outputFrames` have gone out.
    std::deque<Chunk> done;
    std::int64_t doneFrames = 0;
    std::int64_t outputFrames = 0;
    std::int64_t lagFrames = 0;
    // The canceller's input has been continuous since `segmentStart`: its output for earlier
    // positions belongs to other audio.
    std::int64_t segmentStart = 0;
    std::int64_t cancellerInputEnd = -1;

    // The call as it reached us, placed on its timeline (mono, from host time
    // `callTimelineStart`), kept for the last few seconds: the learning replay hands it over again
    // at the lead found by then.
    std::deque<float> callTimeline;
    double callTimelineStart = 0;
    std::vector<float> timelineFrame;

    // While learning, what the canceller was given, in order, to give it again; the microphone
    // buffers it has finished with wait in `done`, still raw, and on disk through `holding`.
    // The call goes again from the timeline, framed exactly as it went (the canceller has learnt
    // the room against that framing), but at the lead known by then.
    struct LearningStep
    {
        bool call = false; // a call frame from host time `callStart`, or a microphone frame
        double callStart = 0;
        double lead = 0; // of the moment the call frame went
        std::int64_t position = 0;
        std::int64_t frames = 0;
        bool cancel = false;
        bool previousCancelled = false;
    };
    bool freshCanceller = false;
    bool learning = false;
    std::int64_t learningStart = 0;
    std::vector<LearningStep> learningLog;
    int learningCancelled = 0;
    int journaledChunks = 0; // of `done`, handed to `holding.held`

    std::thread thread;

    void run();
    void take(std::vector<Chunk>& microphoneChunks, std::vector<Chunk>& referenceChunks);
    void addReference(const Chunk& chunk);
    void applyMovedReference();
    void addMicrophone(Chunk chunk);
    void processAvailable(bool last);
    [[nodiscard]] std::int64_t framesAvailable() const;
    bool feedReference(double frameEnd, bool mayPad);
    void feedReferenceFrame(int rate);
    bool prepareCanceller(const PcmFormat& format);
    void processFrame(std::int64_t frames, bool cancel);
    bool cancelInput();
    bool feedCanceller(const std::vector<float>& frame, const webrtc::StreamConfig& config);
    template<typename Visit>
    void visitFrames(std::int64_t position, std::int64_t frames, Visit visit);
    void clearInput(std::int64_t frames);
    void gatherInput(std::int64_t position, std::int64_t frames);
    void scatterOutput(std::int64_t position, std::int64_t frames, std::int64_t from, bool cancel,
        bool wasCancelled);
    void beginLearningIfFresh();
    void finishLearning();
    void writeCancelled(std::int64_t position, std::int64_t frames, bool cancel, bool wasCancelled);
    void releaseDone(bool all = false);
    void flushTail();
    void release(const Chunk& chunk);
    void skipFrames(std::int64_t frames);
    void updateCoupling();
    void checkDelay();
    [[nodiscard]] std::optional<float> callPowerNow() const;
    void moveLead(double wanted);
    const std::vector<float>& callTimelineFrame(double start);
    void dropStaleReference(double frameStart);
    void emitDone();
    void giveUp() noexcept;
};

EchoCanceller::EchoCanceller(AudioSource::Handler output, Holding holding)
    : m_state(std::make_unique<State>())
{
    m_state->output = std::move(output);
    m_state->holding = std::move(holding);
    m_state->thread = std::thread([state = m_state.get()] { state->run(); });
}

EchoCanceller::~EchoCanceller()
{
    finish();
}

void EchoCanceller::pushReference(const PcmBuffer& buffer, std::uint64_t hostTime) noexcept
{
    if (buffer.frameLength <= 0 || buffer.format.sampleRate <= 0
        || buffer.format.channelCount <= 0) {
        return;
    }
    State& state = *m_state;
    try {
        const std::lock_guard lock(state.queueMutex);
        if (state.gaveUp || state.stopping) {
            return;
        }
        // A canceller held up (by a slow disk under its output) has no use for more call audio
        // than it would keep: the oldest goes.
        state.incomingReference.emplace_back(buffer, hostTime);
        state.incomingReferenceQueued += state.incomingReference.back().duration();
        std::size_t dropped = 0;
        while (state.incomingReferenceQueued > maximumBacklog + 2 * referenceHistory) {
            state.incomingReferenceQueued -= state.incomingReference[dropped++].duration();
        }
        state.incomingReference.erase(state.incomingReference.begin(),
            state.incomingReference.begin() + std::ptrdiff_t(dropped));
        state.newData = true;
    } catch (...) {
        return; // out of memory: the call goes without its reference for a moment
    }
    state.wake.notify_one();
}

void EchoCanceller::pushMicrophone(const PcmBuffer& buffer, std::uint64_t hostTime) noexcept
{
    if (buffer.frameLength <= 0 || buffer.format.sampleRate <= 0
        || buffer.format.channelCount <= 0) {
        return;
    }
    State& state = *m_state;
    {
        std::unique_lock lock(state.queueMutex);
        if (!state.gaveUp && !state.stopping) {
            try {
                state.incomingMicrophone.emplace_back(buffer, hostTime);
                state.incomingBacklog += state.incomingMicrophone.back().duration();
                state.newData = true;
            } catch (...) {
                // Cannot queue: write it here, behind whatever the canceller still holds.
                if (state.processing.try_lock()) {
                    const std::lock_guard processing(state.processing, std::adopt_lock);
                    state.giveUp();
                }
                lock.unlock();
                state.output(buffer, hostTime);
                return;
            }
            if (state.incomingBacklog > stuckBacklog && state.processing.try_lock()) {
                const std::lock_guard processing(state.processing, std::adopt_lock);
                state.giveUp();
            }
            if (!state.gaveUp) {
                lock.unlock();
                state.wake.notify_one();
                return;
            }
            return; // giveUp() wrote this buffer with the rest
        }
    }
    state.output(buffer, hostTime);
}

void EchoCanceller::finish() noexcept
{
    State& state = *m_state;
    {
        const std::lock_guard lock(state.queueMutex);
        state.stopping = true;
    }
    state.wake.notify_one();
    if (state.thread.joinable()) {
        state.thread.join();
    }
}

void EchoCanceller::State::run()
{
    pthread_setname_np(pthread_self(), "Parlevox.echo");
    std::vector<Chunk> microphoneChunks;
    std::vector<Chunk> referenceChunks;
    for (;;) {
        {
            std::unique_lock lock(queueMutex);
            wake.wait(lock, [this] { return newData || stopping || gaveUp; });
        }
        const std::lock_guard working(processing);
        bool last = false;
        {
            const std::lock_guard lock(queueMutex);
            // Held up for longer than the microphone's own thread could see (it cannot take over
            // while this thread is busy with the output): stand aside now, in order.
            if (incomingBacklog > stuckBacklog) {
                giveUp();
            }
            if (gaveUp) {
                return;
            }
            microphoneChunks.swap(incomingMicrophone);
            referenceChunks.swap(incomingReference);
            incomingBacklog = 0;
            incomingReferenceQueued = 0;
            newData = false;
            last = stopping;
        }
        try {
            take(microphoneChunks, referenceChunks);
            processAvailable(last);
            if (last) {
                if (learning) {
                    finishLearning();
                }
                flushTail();
                releaseDone(true);
            }
        } catch (...) {
            const std::lock_guard lock(queueMutex);
            giveUp();
            return;
        }
        if (last) {
            return;
        }
    }
}

void EchoCanceller::State::take(
    std::vector<Chunk>& microphoneChunks, std::vector<Chunk>& referenceChunks)
{
    for (Chunk& chunk : referenceChunks) {
        if (!movedReference.empty()
            || (referenceStarted && chunk.format.sampleRate != referenceRate)) {
            movedReferenceQueued += chunk.duration();
            movedReference.push_back(std::move(chunk));
        } else {
            addReference(chunk);
        }
    }
    referenceChunks.clear();
    // A microphone that stalls must not let the call pile up here.
    while (movedReferenceQueued > maximumBacklog + 2 * referenceHistory) {
        applyMovedReference();
    }
    for (Chunk& chunk : microphoneChunks) {
        addMicrophone(std::move(chunk));
    }
    microphoneChunks.clear();
}

// The call audio from the next move on, up to the one after.
void EchoCanceller::State::applyMovedReference()
{
    const int rate = movedReference.front().format.sampleRate;
    while (!movedReference.empty() && movedReference.front().format.sampleRate == rate) {
        movedReferenceQueued -= movedReference.front().duration();
        addReference(movedReference.front());
        movedReference.pop_front();
    }
    if (movedReference.empty()) {
        movedReferenceQueued = 0; // no rounding left over
    }
}

// Places the call audio on its own timeline: small disagreements between buffer times and sample
// counts are jitter, larger ones a gap (filled with silence) or an overlap (dropped).
void EchoCanceller::State::addReference(const Chunk& chunk)
{
    const int rate = chunk.format.sampleRate;
    std::int64_t skip = 0;
    std::int64_t overlap = 0;
    if (referenceStarted && rate != referenceRate && canceller) {
        // The call moved to an output of another rate: the canceller starts afresh, and learns
        // the room again while it holds the microphone back.
        if (learning) {
            finishLearning();
        }
        canceller.reset();
    }
    if (!referenceStarted || rate != referenceRate) {
        reference.clear();
        referenceOwed = 0;
        referenceRate = rate;
        referenceCursor = double(chunk.hostTime);
        referenceStarted = true;
        callTimeline.clear();
        callTimelineStart = referenceCursor;
    } else {
        const double end = referenceCursor + double(reference.size()) * nanosecondsPerSecond / rate;
        const double delta = double(chunk.hostTime) - end;
        if (delta > continuityTolerance) {
            const auto gap = std::size_t(std::llround(delta * rate / nanosecondsPerSecond));
            reference.insert(reference.end(), gap, 0.0f);
            callTimeline.insert(callTimeline.end(), gap, 0.0f);
        } else if (delta < -continuityTolerance) {
            skip = std::llround(-delta * rate / nanosecondsPerSecond);
        }
        overlap = skip;
        // Silence already stood in for the start of this audio: it keeps its place.
        if (referenceOwed > double(rate) * continuityTolerance / nanosecondsPerSecond) {
            referenceOwed = 0; // too long: a gap, not a late delivery
        }
        const auto owed = std::min(std::int64_t(referenceOwed), chunk.frames - skip);
        skip += owed;
        referenceOwed -= double(owed);
    }
    const int channels = chunk.format.channelCount;
    for (std::int64_t frame = overlap; frame < chunk.frames; ++frame) {
        float sum = 0;
        for (int channel = 0; channel < channels; ++channel) {
            sum += chunk.sample(frame, channel);
        }
        callTimeline.push_back(sum / float(channels));
        if (frame >= skip) {
            reference.push_back(callTimeline.back());
        }
    }
    const auto timelineKept = std::size_t(
        (learningLimit + maximumBacklog + 2 * referenceHistory) * rate / nanosecondsPerSecond);
    if (callTimeline.size() > timelineKept) {
        const std::size_t dropped = callTimeline.size() - timelineKept;
        callTimeline.erase(callTimeline.begin(), callTimeline.begin() + std::ptrdiff_t(dropped));
        callTimelineStart += double(dropped) * nanosecondsPerSecond / rate;
    }
    // A microphone that stalls must not let the call pile up here.
    const auto kept
        = std::size_t((maximumBacklog + 2 * referenceHistory) * rate / nanosecondsPerSecond);
    if (reference.size() > kept) {
        const std::size_t dropped = reference.size() - kept;
        reference.erase(reference.begin(), reference.begin() + std::ptrdiff_t(dropped));
        referenceCursor += double(dropped) * nanosecondsPerSecond / rate;
    }
}

// The 10 ms of the call from host time `start`, silence where none was kept.
const std::vector<float>& EchoCanceller::State::callTimelineFrame(double start)
{
    const auto length = std::size_t(referenceRate / 100);
    timelineFrame.assign(length, 0.0f);
    const auto first
        = std::llround((start - callTimelineStart) * referenceRate / nanosecondsPerSecond);
    for (std::size_t at = 0; at < length; ++at) {
        const auto index = first + std::int64_t(at);
        if (index >= 0 && index < std::int64_t(callTimeline.size())) {
            timelineFrame[at] = callTimeline[std::size_t(index)];
        }
    }
    return timelineFrame;
}

void EchoCanceller::State::addMicrophone(Chunk chunk)
{
    if (!microphoneStarted) {
        microphoneCursor = double(chunk.hostTime);
        microphoneStarted = true;
    }
    microphoneEnd = std::max(microphoneEnd, double(chunk.hostTime) + chunk.duration());
    microphone.push_back(std::move(chunk));
}

// Frames from the processing point on that share the first waiting buffer's format.
std::int64_t EchoCanceller::State::framesAvailable() const
{
    if (microphone.empty()) {
        return 0;
    }
    std::int64_t frames = microphone.front().frames - microphoneDone;
    for (auto chunk = microphone.begin() + 1;
         chunk != microphone.end() && chunk->format == microphone.front().format; ++chunk) {
        frames += chunk->frames;
    }
    return frames;
}

void EchoCanceller::State::processAvailable(bool last)
{
    while (!microphone.empty()) {
        if (learning
            && (learningCancelled >= learningFrames
                || double(outputFrames + doneFrames + microphoneDone - learningStart)
                        * nanosecondsPerSecond / cancellerFormat.sampleRate
                    >= learningLimit)) {
            finishLearning();
        }
        const Chunk& first = microphone.front();
        // Where a buffer starts, its own time wins over the running count when they disagree.
        if (microphoneDone == 0
            && std::abs(double(first.hostTime) - microphoneCursor) > continuityTolerance) {
            microphoneCursor = double(first.hostTime);
        }
        if (!movedReference.empty()
            && microphoneCursor + frameNanoseconds + lead > referenceCursor
                    + (double(reference.size()) + 0.5) * nanosecondsPerSecond / referenceRate) {
            applyMovedReference(); // the call before the move has all gone in
            continue;
        }
        const PcmFormat format = first.format;
        const std::int64_t frameLength = format.sampleRate / 100;
        const std::int64_t available = framesAvailable();
        std::int64_t waiting = -microphoneDone;
        for (const Chunk& chunk : microphone) {
            waiting += chunk.frames;
        }
        if (!usableRate(format.sampleRate) || cancellerBroken) {
            skipFrames(available);
            continue;
        }
        // The last piece, shorter than a frame, is cancelled as a frame padded with silence when
        // the canceller is at work; one before a change of format goes out raw.
        const bool padLast = last && available == waiting && previousCancelled && canceller
            && format == cancellerFormat;
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
            cancellerBroken = true;
            continue;
        }
        const double frameEnd = microphoneCursor + frameNanoseconds + lead;
        const bool mayPad = last || microphoneEnd - frameEnd > referenceWait;
        if (!feedReference(frameEnd, mayPad)) {
            return; // the call audio of this moment is still on its way
        }
        if (cancellerBroken) {
            continue;
        }
        const bool callTalking = silentReferenceFrames < silentFramesBeforeBypass;
        if (!callTalking && !previousCancelled) {
            // The call has been silent for half a second: the microphone goes out as it came
            // and the canceller rests, which costs nothing while nobody is on the line.
            microphoneLevels.clear();
            callLevels.clear();
            skipFrames(frameLength);
            continue;
        }
        processFrame(frameLength, callTalking && couplingLoss < decoupledLoss);
    }
}

// Call audio from before `frameStart` minus the history is of no more use.
void EchoCanceller::State::dropStaleReference(double frameStart)
{
    if (!referenceStarted || referenceRate <= 0) {
        return;
    }
    const double oldest = frameStart - referenceHistory;
    if (referenceCursor < oldest) {
        const auto stale = std::size_t(
            std::floor((oldest - referenceCursor) * referenceRate / nanosecondsPerSecond));
        const std::size_t dropped = std::min(stale, reference.size());
        reference.erase(reference.begin(), reference.begin() + std::ptrdiff_t(dropped));
        referenceCursor += double(stale) * nanosecondsPerSecond / referenceRate;
    }
}

// Hands the canceller the call audio up to `frameEnd`, padding with silence where it is missing
// and `mayPad` allows. False when the frame must wait for more call audio.
bool EchoCanceller::State::feedReference(double frameEnd, bool mayPad)
{
    if (!referenceStarted) {
        if (!mayPad) {
            return false;
        }
        // No call at all: silence at the microphone's rate stands in for it.
        referenceStarted = true;
        referenceRate = microphone.front().format.sampleRate;
        referenceCursor = frameEnd - frameNanoseconds;
    }
    if (!usableRate(referenceRate)) {
        return true;
    }
    const double frameLength = double(referenceRate / 100);
    dropStaleReference(frameEnd - frameNanoseconds);
    // Half a sample of slack so that rounding never asks for one frame too many.
    while (referenceCursor + nanosecondsPerSecond / referenceRate / 2 < frameEnd) {
        if (double(reference.size()) < frameLength && !mayPad) {
            return false;
        }
        feedReferenceFrame(referenceRate);
    }
    return true;
}

void EchoCanceller::State::feedReferenceFrame(int rate)
{
    const std::size_t length = std::size_t(rate / 100);
    referenceFrame.assign(length, 0.0f);
    const std::size_t present = std::min(length, reference.size());
    referenceOwed += double(length - present);
    std::copy_n(reference.begin(), present, referenceFrame.begin());
    reference.erase(reference.begin(), reference.begin() + std::ptrdiff_t(present));
    referenceCursor += double(length) * nanosecondsPerSecond / rate;

    float peak = 0;
    for (const float sample : referenceFrame) {
        peak = std::max(peak, std::abs(sample));
    }
    silentReferenceFrames = peak > silenceThreshold ? 0 : silentReferenceFrames + 1;
    double power = 0;
    for (const float sample : referenceFrame) {
        power += double(sample) * sample;
    }
    referencePowers.push_front(float(power / double(length)));
    if (referencePowers.size() > std::size_t(largestLead / frameNanoseconds) + 2) {
        referencePowers.pop_back();
    }

    // A call silent for a while has nothing more to teach the canceller (see processAvailable).
    if (!canceller || cancellerBroken || silentReferenceFrames >= silentFramesBeforeBypass) {
        return;
    }
    const double frameStart = referenceCursor - double(length) * nanosecondsPerSecond / rate;
    beginLearningIfFresh();
    if (feedCanceller(referenceFrame, webrtc::StreamConfig(rate, 1)) && learning) {
        learningLog.push_back({ true, frameStart, lead, 0, 0, false, false });
    }
}

bool EchoCanceller::State::prepareCanceller(const PcmFormat& format)
{
    if (canceller && format == cancellerFormat) {
        return true;
    }
    if (learning) {
        finishLearning();
    }
    canceller
        = makeProcessor(format, usableRate(referenceRate) ? referenceRate : format.sampleRate);
    if (!canceller) {
        return false;
    }
    lagFrames = measureProcessingDelay(format.sampleRate);
    cancellerInputEnd = -1;
    doubleTalk = std::make_unique<DoubleTalkPath>(
        format.sampleRate, format.channelCount, doubleTalkDelayFrames, lagFrames);
    cancellerFormat = format;
    previousCancelled = false;
    freshCanceller = true;
    return true;
}

void EchoCanceller::State::processFrame(std::int64_t frames, bool cancel)
{
    beginLearningIfFresh();
    const std::int64_t position = outputFrames + doneFrames + microphoneDone;
    gatherInput(position, frames);
    updateCoupling();
    if (learning) {
        learningLog.push_back({ false, 0, 0, position, frames, cancel, previousCancelled });
        learningCancelled += cancel ? 1 : 0;
    }
    writeCancelled(position, frames, cancel, previousCancelled && !learning);
    previousCancelled = cancel;
    skipFrames(frames);
}

// Cancels the frame in `input`, which starts at `position`, and, unless learning, writes the
// output back where it belongs: `lagFrames` earlier, never before the input became continuous.
void EchoCanceller::State::writeCancelled(
    std::int64_t position, std::int64_t frames, bool cancel, bool wasCancelled)
{
    if (position != cancellerInputEnd) {
        segmentStart = position;
    }
    if (!cancelInput()) {
        cancellerInputEnd = -1;
        return;
    }
    cancellerInputEnd = position + frames;
    if (!learning) {
        scatterOutput(position - lagFrames, frames, segmentStart, cancel, wasCancelled);
    }
}

// Runs the canceller on `input` into `processed`; false once it has failed.
bool EchoCanceller::State::cancelInput()
{
    inputChannels.clear();
    processedChannels.clear();
    for (std::size_t channel = 0; channel < input.size(); ++channel) {
        inputChannels.push_back(input[channel].data());
        processedChannels.push_back(processed[channel].data());
    }
    const webrtc::StreamConfig config(cancellerFormat.sampleRate, int(input.size()));
    canceller->set_stream_delay_ms(nominalDelayMs);
    if (canceller->ProcessStream(inputChannels.data(), config, config, processedChannels.data())
        != webrtc::AudioProcessing::kNoError) {
        cancellerBroken = true;
        return false;
    }
    doubleTalk->process(input, processed);
    return true;
}

// Visits the microphone frames from `position` on, at most `frames`, that have not gone out and
// are in the canceller's format; `at` counts from `position`.
template<typename Visit>
void EchoCanceller::State::visitFrames(std::int64_t position, std::int64_t frames, Visit visit)
{
    std::int64_t at = 0;
    if (position < outputFrames) {
        at = outputFrames - position;
        position = outputFrames;
    }
    position -= outputFrames;
    for (std::deque<Chunk>* chunks : { &done, &microphone }) {
        for (Chunk& chunk : *chunks) {
            if (at >= frames) {
                return;
            }
            if (position >= chunk.frames) {
                position -= chunk.frames;
                continue;
            }
            if (chunk.format != cancellerFormat) {
                const std::int64_t step = std::min(chunk.frames - position, frames - at);
                at += step;
                position += step;
            }
            for (; position < chunk.frames && at < frames; ++position, ++at) {
                visit(chunk, position, at);
            }
            position = 0;
        }
    }
}

// Sets `input` to `frames` of silence per channel.
void EchoCanceller::State::clearInput(std::int64_t frames)
{
    const auto channels = std::size_t(cancellerFormat.channelCount);
    input.resize(channels);
    processed.resize(channels);
    for (std::size_t channel = 0; channel < channels; ++channel) {
        input[channel].assign(std::size_t(frames), 0.0f);
        processed[channel].resize(std::size_t(frames));
    }
}

void EchoCanceller::State::gatherInput(std::int64_t position, std::int64_t frames)
{
    clearInput(frames);
    const int channels = cancellerFormat.channelCount;
    visitFrames(position, frames, [&](const Chunk& chunk, std::int64_t offset, std::int64_t at) {
        for (int channel = 0; channel < channels; ++channel) {
            input[std::size_t(channel)][std::size_t(at)] = chunk.sample(offset, channel);
        }
    });
}

// Writes back what changes, from `from` on: nothing while the call is silent, a 10 ms cross-fade
// where the canceller takes over or lets go. The raw microphone is `lagFrames` behind `input`.
void EchoCanceller::State::scatterOutput(
    std::int64_t position, std::int64_t frames, std::int64_t from, bool cancel, bool wasCancelled)
{
    if (!cancel && !wasCancelled) {
        return;
    }
    const int channels = cancellerFormat.channelCount;
    const std::int64_t skipped = std::max<std::int64_t>(0, from - position);
    visitFrames(position + skipped, frames - skipped,
        [&](Chunk& chunk, std::int64_t offset, std::int64_t written) {
            const std::int64_t at = written + skipped;
            float weight = 1;
            if (cancel != wasCancelled) {
                const float ramp = float(at) / float(frames);
                weight = cancel ? ramp : 1 - ramp;
            }
            for (int channel = 0; channel < channels; ++channel) {
                const float raw = chunk.sample(offset, channel);
                const float clean = processed[std::size_t(channel)][std::size_t(at)];
                chunk.setSample(offset, channel, raw + weight * (clean - raw));
            }
        });
}

void EchoCanceller::State::beginLearningIfFresh()
{
    if (!freshCanceller) {
        return;
    }
    freshCanceller = false;
    learning = true;
    learningStart = outputFrames + doneFrames + microphoneDone;
    learningCancelled = 0;
    learningLog.clear();
}

// Goes over the held microphone again with the canceller as it now stands, then lets it out.
void EchoCanceller::State::finishLearning()
{
    const bool replay
        = canceller && !cancellerBroken && !learningLog.empty() && usableRate(referenceRate);
    const webrtc::StreamConfig referenceConfig(referenceRate, 1);
    const std::vector<float> silence(std::size_t(std::max(referenceRate, 0) / 100), 0.0f);
    for (int pass = 1; replay && pass <= learningPasses && !cancellerBroken; ++pass) {
        // Output is written on the last pass only.
        learning = pass < learningPasses;
        const int flush = pass == learningPasses ? writtenPassFlushFrames : learningFlushFrames;
        for (int frame = 0; frame < flush; ++frame) {
            if (!feedCanceller(silence, referenceConfig)) {
                break;
            }
            clearInput(cancellerFormat.sampleRate / 100);
            if (!cancelInput()) {
                break;
            }
        }
        cancellerInputEnd = -1;
        for (const LearningStep& step : learningLog) {
            if (cancellerBroken) {
                break;
            }
            if (step.call) {
                feedCanceller(
                    callTimelineFrame(step.callStart + lead - step.lead), referenceConfig);
            } else {
                gatherInput(step.position, step.frames);
                writeCancelled(step.position, step.frames, step.cancel, step.previousCancelled);
            }
        }
    }
    learning = false;
    learningLog.clear();
    learningLog.shrink_to_fit();
    releaseDone();
}

// The canceller's output for the last `lagFrames` is still inside it: a frame of silence brings
// it out.
void EchoCanceller::State::flushTail()
{
    const std::int64_t end = outputFrames + doneFrames + microphoneDone;
    if (!canceller || cancellerBroken || !previousCancelled || cancellerInputEnd != end
        || lagFrames == 0) {
        return;
    }
    const std::int64_t frameLength = cancellerFormat.sampleRate / 100;
    if (!feedReference(microphoneCursor + frameNanoseconds + lead, true) || cancellerBroken) {
        return;
    }
    clearInput(frameLength);
    writeCancelled(end, frameLength, true, true);
}

// Lets out the finished buffers whose cancelled output is complete, or `all` of them.
void EchoCanceller::State::releaseDone(bool all)
{
    if (learning && !all) {
        return;
    }
    while (
        !done.empty() && (all || doneFrames - done.front().frames + microphoneDone >= lagFrames)) {
        release(done.front());
        doneFrames -= done.front().frames;
        done.pop_front();
    }
}

void EchoCanceller::State::release(const Chunk& chunk)
{
    output(chunk.view(), chunk.hostTime);
    outputFrames += chunk.frames;
    if (chunk.journaled && --journaledChunks == 0 && holding.released) {
        holding.released();
    }
}

bool EchoCanceller::State::feedCanceller(
    const std::vector<float>& frame, const webrtc::StreamConfig& config)
{
    referenceScratch.resize(frame.size());
    const float* source[] = { frame.data() };
    float* destination[] = { referenceScratch.data() };
    if (canceller->ProcessReverseStream(source, config, config, destination)
        != webrtc::AudioProcessing::kNoError) {
        cancellerBroken = true;
        return false;
    }
    doubleTalk->pushReference(frame, config.sample_rate_hz());
    return true;
}

// Follows how loud the call comes back in the microphone, from the frame in `input`, and when.
void EchoCanceller::State::updateCoupling()
{
    double power = 0;
    for (const std::vector<float>& channel : input) {
        for (const float sample : channel) {
            power += double(sample) * sample;
        }
    }
    const std::size_t samples = input.size() * input.front().size();
    const std::optional<float> call = callPowerNow();
    if (!call) {
        return;
    }
    microphoneLevels.push_back(float(power / double(std::max<std::size_t>(samples, 1))));
    callLevels.push_back(*call);
    if (microphoneLevels.size() > levelHistoryFrames) {
        microphoneLevels.pop_front();
        callLevels.pop_front();
    }
    couplingLoss = std::max(0.0, couplingLoss - lossDecayPerFrame);
    const std::size_t count = microphoneLevels.size();
    if (count >= microphoneWindowFrames) {
        double call = 0;
        for (std::size_t frame = count - callWindowStart; frame < count - callWindowEnd; ++frame) {
            call += callLevels[frame];
        }
        call /= double(callWindowStart - callWindowEnd);
        double microphone = 0;
        for (std::size_t frame = count - microphoneWindowFrames; frame < count; ++frame) {
            microphone += microphoneLevels[frame];
        }
        microphone /= double(microphoneWindowFrames);
        if (call >= activeCallPower) {
            const double loss = 10 * std::log10(call / std::max(microphone, 1e-12));
            couplingLoss = std::max(couplingLoss, std::min(loss, largestLoss));
        }
    }
    if (++framesSinceDelayCheck >= delayCheckFrames && count >= firstDelayCheckFrames) {
        framesSinceDelayCheck = 0;
        checkDelay();
    }
}

// The call's power over the 10 ms of this microphone frame, fed already or still waiting when
// the call is handed over late; nothing when that audio has not come yet.
std::optional<float> EchoCanceller::State::callPowerNow() const
{
    // The newest fed call frame starts `lead` after this one.
    const auto back = std::lround(lead / frameNanoseconds);
    if (back >= 0) {
        return std::size_t(back) < referencePowers.size()
            ? std::optional(referencePowers[std::size_t(back)])
            : std::nullopt;
    }
    const auto length = std::size_t(referenceRate / 100);
    const auto from = std::size_t(-back - 1) * length;
    if (length == 0 || reference.size() < from + length) {
        return std::nullopt;
    }
    double power = 0;
    for (auto sample = reference.begin() + std::ptrdiff_t(from);
         sample != reference.begin() + std::ptrdiff_t(from + length); ++sample) {
        power += double(*sample) * *sample;
    }
    return float(power / double(length));
}

// Hands the call over `wanted` ahead of the microphone from now on, one frame for each
// microphone frame as before, so that the canceller is neither flooded nor starved: later, it
// hears silence for the difference; earlier, the call audio in between is skipped.
void EchoCanceller::State::moveLead(double wanted)
{
    const double change = wanted - lead;
    lead = wanted;
    // The canceller learns the room again: a learning hold lasts long enough for it.
    learningCancelled = 0;
    microphoneLevels.clear();
    callLevels.clear();
    if (!referenceStarted || !usableRate(referenceRate)) {
        return;
    }
    const auto samples
        = std::size_t(std::llround(std::abs(change) * referenceRate / nanosecondsPerSecond));
    if (change < 0) {
        reference.insert(reference.begin(), samples, 0.0f);
        referenceCursor -= double(samples) * nanosecondsPerSecond / referenceRate;
    } else {
        const std::size_t skipped = std::min(samples, reference.size());
        reference.erase(reference.begin(), reference.begin() + std::ptrdiff_t(skipped));
        referenceCursor += double(skipped) * nanosecondsPerSecond / referenceRate;
    }
}

void EchoCanceller::State::checkDelay()
{
    const std::size_t count = callLevels.size();
    std::vector<double> call(count);
    std::vector<double> microphone(count);
    std::size_t active = 0;
    for (std::size_t frame = 0; frame < count; ++frame) {
        active += callLevels[frame] >= activeCallPower ? 1 : 0;
        call[frame] = std::log10(double(callLevels[frame]) + 1e-9);
        microphone[frame] = std::log10(double(microphoneLevels[frame]) + 1e-9);
    }
    if (active < count / 4) {
        return; // too little of the call to tell
    }
    double best = delayMatch;
    std::optional<int> bestLag;
    for (int lag = -largestLagFrames; lag <= largestLagFrames; ++lag) {
        // The microphone at `frame` against the call at `frame - lag`.
        const std::size_t first = std::size_t(std::max(0, lag));
        const std::size_t last = count - std::size_t(std::max(0, -lag));
        double sumCall = 0, sumMicrophone = 0, sumCallSquared = 0, sumMicrophoneSquared = 0,
               sumProduct = 0;
        for (std::size_t frame = first; frame < last; ++frame) {
            const double x = call[std::size_t(std::ptrdiff_t(frame) - lag)];
            const double y = microphone[frame];
            sumCall += x;
            sumMicrophone += y;
            sumCallSquared += x * x;
            sumMicrophoneSquared += y * y;
            sumProduct += x * y;
        }
        const double n = double(last - first);
        const double covariance = sumProduct - sumCall * sumMicrophone / n;
        const double spread = (sumCallSquared - sumCall * sumCall / n)
            * (sumMicrophoneSquared - sumMicrophone * sumMicrophone / n);
        const double correlation = spread > 0 ? covariance / std::sqrt(spread) : 0;
        if (correlation > best) {
            best = correlation;
            bestLag = lag;
        }
    }
    if (!bestLag) {
        return;
    }
    const double wanted
        = std::clamp(targetDelay - double(*bestLag) * frameNanoseconds, smallestLead, largestLead);
    if (std::abs(wanted - lead) > leadStep) {
        moveLead(wanted);
    }
}

// Marks frames as done as they stand and lets out the buffers that are complete.
void EchoCanceller::State::skipFrames(std::int64_t frames)
{
    while (frames > 0 && !microphone.empty()) {
        const Chunk& first = microphone.front();
        const std::int64_t step = std::min(frames, first.frames - microphoneDone);
        microphoneDone += step;
        frames -= step;
        microphoneCursor += double(step) * nanosecondsPerSecond / first.format.sampleRate;
        emitDone();
    }
    emitDone();
    dropStaleReference(microphoneCursor);
}

void EchoCanceller::State::emitDone()
{
    while (!microphone.empty() && microphoneDone >= microphone.front().frames) {
        Chunk& chunk = microphone.front();
        if (learning) {
            if (holding.held) {
                holding.held(chunk.view(), chunk.hostTime);
            }
            chunk.journaled = true;
            ++journaledChunks;
        }
        doneFrames += chunk.frames;
        done.push_back(std::move(chunk));
        microphone.pop_front();
        microphoneDone = 0;
    }
    releaseDone();
}

// Both mutexes held: everything still held goes out raw, in order, and the canceller stops.
void EchoCanceller::State::giveUp() noexcept
{
    if (gaveUp) {
        return;
    }
    gaveUp = true;
    learning = false;
    releaseDone(true);
    for (const Chunk& chunk : microphone) {
        release(chunk);
    }
    microphone.clear();
    microphoneDone = 0;
    for (const Chunk& chunk : incomingMicrophone) {
        output(chunk.view(), chunk.hostTime);
    }
    incomingMicrophone.clear();
    incomingReference.clear();
    incomingBacklog = 0;
    incomingReferenceQueued = 0;
    wake.notify_one();
}
