#include "echo/doubletalkpath.h"

#include <algorithm>
#include <cmath>
#include <speex/speex_echo.h>
#include <speex/speex_resampler.h>

namespace {

// The main canceller's output holds a voice when it keeps more than this share of the microphone's
// power (-15 dB): where only the call reached the microphone, its suppressor leaves far less, and
// a local voice that loud is what it was taking a share of.
constexpr double voiceShare = 3e-2;
// ... and when it is louder than -70 dBFS.
constexpr double quietPower = 1e-7;
// A voice is followed for this many frames after it was last heard, so that syllables' tails are
// not cut.
constexpr int holdFrames = 5;
// The linear output is used once it takes at least 10 dB off the echo where only the call talks,
// on average over the last 20 or so such frames: what it leaves then is well under the voice.
constexpr double trustedLoss = 10;
constexpr double smoothing = 0.05;

short toShort(float sample)
{
    return short(std::clamp(std::lround(double(sample) * 32768.0), -32768L, 32767L));
}

// Puts `frame` behind what `pending` holds and takes as much from the front into `delayed`.
void delayBy(
    std::vector<float>& pending, const std::vector<float>& frame, std::vector<float>& delayed)
{
    pending.insert(pending.end(), frame.begin(), frame.end());
    delayed.assign(pending.begin(), pending.begin() + std::ptrdiff_t(frame.size()));
    pending.erase(pending.begin(), pending.begin() + std::ptrdiff_t(frame.size()));
}

double power(const std::vector<std::vector<float>>& channels)
{
    double sum = 0;
    for (const std::vector<float>& channel : channels) {
        for (const float sample : channel) {
            sum += double(sample) * sample;
        }
    }
    return sum;
}

} // namespace

struct DoubleTalkPath::Speex
{
    std::vector<SpeexEchoState*> cancellers; // one per microphone channel
    SpeexResamplerState* resampler = nullptr;
    int resamplerRate = 0;

    ~Speex()
    {
        for (SpeexEchoState* canceller : cancellers) {
            speex_echo_state_destroy(canceller);
        }
        if (resampler) {
            speex_resampler_destroy(resampler);
        }
    }
};

DoubleTalkPath::DoubleTalkPath(
    int microphoneRate, int channels, int referenceDelayFrames, std::int64_t outputDelaySamples)
    : m_speex(std::make_unique<Speex>())
    , m_microphoneRate(microphoneRate)
    , m_delay(std::size_t(std::max(referenceDelayFrames, 0) * (microphoneRate / 100)))
    , m_outputDelay(std::size_t(std::max<std::int64_t>(outputDelaySamples, 0)))
    , m_pendingInput(std::size_t(std::max(channels, 0)), std::vector<float>(m_outputDelay, 0.0f))
    , m_pendingLinear(m_pendingInput)
{
    const int frame = microphoneRate / 100;
    for (int channel = 0; channel < channels; ++channel) {
        SpeexEchoState* canceller
            = speex_echo_state_init(frame, microphoneRate * filterMilliseconds / 1000);
        if (!canceller) {
            // Without it the main canceller's output stands everywhere (see process).
            break;
        }
        int rate = microphoneRate;
        speex_echo_ctl(canceller, SPEEX_ECHO_SET_SAMPLING_RATE, &rate);
        m_speex->cancellers.push_back(canceller);
    }
}

DoubleTalkPath::~DoubleTalkPath() = default;

void DoubleTalkPath::pushReference(const std::vector<float>& frame, int rate)
{
    if (rate == m_microphoneRate) {
        m_reference.insert(m_reference.end(), frame.begin(), frame.end());
    } else {
        if (rate != m_speex->resamplerRate) {
            if (m_speex->resampler) {
                speex_resampler_destroy(m_speex->resampler);
            }
            int error = 0;
            m_speex->resampler = speex_resampler_init(1, spx_uint32_t(rate),
                spx_uint32_t(m_microphoneRate), SPEEX_RESAMPLER_QUALITY_VOIP, &error);
            m_speex->resamplerRate = m_speex->resampler ? rate : 0;
        }
        if (!m_speex->resampler) {
            return;
        }
        const std::size_t before = m_reference.size();
        auto room = spx_uint32_t(
            std::size_t(frame.size()) * std::size_t(m_microphoneRate) / std::size_t(rate) + 16);
        m_reference.resize(before + room);
        auto taken = spx_uint32_t(frame.size());
        speex_resampler_process_float(
            m_speex->resampler, 0, frame.data(), &taken, m_reference.data() + before, &room);
        m_reference.resize(before + room);
    }
    // Only what the next frames can still use is kept.
    const std::size_t keep = m_delay + std::size_t(4 * (m_microphoneRate / 100));
    if (m_reference.size() > keep) {
        m_reference.erase(m_reference.begin(), m_reference.end() - std::ptrdiff_t(keep));
    }
}

void DoubleTalkPath::process(
    const std::vector<std::vector<float>>& input, std::vector<std::vector<float>>& cancelled)
{
    const std::size_t frame = input.empty() ? 0 : input.front().size();
    const auto sized = [frame](const std::vector<float>& channel) {
        return channel.size() == frame;
    };
    if (frame == 0 || input.size() != m_speex->cancellers.size() || cancelled.size() != input.size()
        || !std::all_of(input.begin(), input.end(), sized)
        || !std::all_of(cancelled.begin(), cancelled.end(), sized)) {
        return;
    }
    // The call audio `m_delay` before the newest, zeros where there is none yet.
    m_reference16.assign(frame, 0);
    const std::size_t end = m_reference.size() > m_delay ? m_reference.size() - m_delay : 0;
    const std::size_t available = std::min(end, frame);
    for (std::size_t i = 0; i < available; ++i) {
        m_reference16[frame - available + i] = toShort(m_reference[end - available + i]);
    }
    m_microphone16.resize(frame);
    m_linear16.resize(frame);
    m_linear.resize(input.size());
    m_delayedInput.resize(input.size());
    for (std::size_t channel = 0; channel < input.size(); ++channel) {
        std::transform(
            input[channel].begin(), input[channel].end(), m_microphone16.begin(), toShort);
        // The linear filter learns on every frame, used or not.
        speex_echo_cancellation(m_speex->cancellers[channel], m_microphone16.data(),
            m_reference16.data(), m_linear16.data());
        m_linearNow.resize(frame);
        std::transform(m_linear16.begin(), m_linear16.end(), m_linearNow.begin(),
            [](short sample) { return float(sample) / 32768.0f; });
        // From here on, both as late as the main canceller's output.
        delayBy(m_pendingLinear[channel], m_linearNow, m_linear[channel]);
        delayBy(m_pendingInput[channel], input[channel], m_delayedInput[channel]);
    }
    const double inputPower = power(m_delayedInput);
    const double cancelledPower = power(cancelled);
    const double quiet = quietPower * double(frame * input.size());
    const bool voice = cancelledPower > voiceShare * inputPower && cancelledPower > quiet;
    m_holdFrames = voice ? holdFrames : std::max(0, m_holdFrames - 1);
    // Where only the call talks, how much of its echo the linear canceller removes: its output is
    // trusted only once that is a fair share. Without an echo to learn from, or before it has
    // learnt the room, it would add call audio that the microphone never heard. Averaged in
    // decibels, so that a loud voice the main canceller took for echo counts as one frame.
    if ((!voice || m_relearning) && inputPower > quiet) {
        const double loss = 10 * std::log10(inputPower / std::max(power(m_linear), 1e-20));
        m_linearLoss += smoothing * (loss - m_linearLoss);
    }
    const bool trusted = m_linearLoss >= trustedLoss;
    m_relearning = m_relearning && !trusted;
    const bool useLinear = m_holdFrames > 0 && trusted;
    if (useLinear || m_usedLinear) {
        // A 10 ms cross-fade where the linear output takes over or lets go.
        for (std::size_t channel = 0; channel < input.size(); ++channel) {
            for (std::size_t i = 0; i < frame; ++i) {
                const float ramp = float(i + 1) / float(frame);
                const float weight = useLinear == m_usedLinear ? 1.0f : useLinear ? ramp : 1 - ramp;
                cancelled[channel][i] += weight * (m_linear[channel][i] - cancelled[channel][i]);
            }
        }
    }
    m_usedLinear = useLinear;
}
