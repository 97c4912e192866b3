#include "echo/echoprocessor.h"

#include "echo/doubletalkpath.h"
#include "echo/echotuning.h"

#include <cmath>
#include <mutex>
#include <utility>
#include <webrtc/modules/audio_processing/include/audio_processing.h>

using namespace echo;

namespace {

// The linear canceller that keeps the local voice in double talk gets the call this many frames
// later than the main one, which puts an echo that arrives `targetDelay` after the call audio
// handed over half-way through its filter.
constexpr int doubleTalkDelayFrames
    = int((targetDelay - DoubleTalkPath::filterMilliseconds * 1e6 / 2) / frameNanoseconds);

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

EchoProcessor::EchoProcessor() = default;
EchoProcessor::~EchoProcessor() = default;

bool EchoProcessor::start(const PcmFormat& format, int referenceRate)
{
    m_canceller
        = makeProcessor(format, usableRate(referenceRate) ? referenceRate : format.sampleRate);
    if (!m_canceller) {
        return false;
    }
    m_lagFrames = measureProcessingDelay(format.sampleRate);
    m_doubleTalk = std::make_unique<DoubleTalkPath>(
        format.sampleRate, format.channelCount, doubleTalkDelayFrames, m_lagFrames);
    m_format = format;
    return true;
}

void EchoProcessor::reset()
{
    m_canceller.reset();
}

void EchoProcessor::echoMoved()
{
    if (m_doubleTalk) {
        m_doubleTalk->echoMoved();
    }
}

bool EchoProcessor::feedReference(const std::vector<float>& frame, int rate)
{
    const webrtc::StreamConfig config(rate, 1);
    m_referenceScratch.resize(frame.size());
    const float* source[] = { frame.data() };
    float* destination[] = { m_referenceScratch.data() };
    if (m_canceller->ProcessReverseStream(source, config, config, destination)
        != webrtc::AudioProcessing::kNoError) {
        m_broken = true;
        return false;
    }
    m_doubleTalk->pushReference(frame, config.sample_rate_hz());
    return true;
}

void EchoProcessor::clearInput(std::int64_t frames)
{
    const auto channels = std::size_t(m_format.channelCount);
    m_input.resize(channels);
    m_processed.resize(channels);
    for (std::size_t channel = 0; channel < channels; ++channel) {
        m_input[channel].assign(std::size_t(frames), 0.0f);
        m_processed[channel].resize(std::size_t(frames));
    }
}

bool EchoProcessor::cancel()
{
    m_inputChannels.clear();
    m_processedChannels.clear();
    for (std::size_t channel = 0; channel < m_input.size(); ++channel) {
        m_inputChannels.push_back(m_input[channel].data());
        m_processedChannels.push_back(m_processed[channel].data());
    }
    const webrtc::StreamConfig config(m_format.sampleRate, int(m_input.size()));
    m_canceller->set_stream_delay_ms(nominalDelayMs);
    if (m_canceller->ProcessStream(
            m_inputChannels.data(), config, config, m_processedChannels.data())
        != webrtc::AudioProcessing::kNoError) {
        m_broken = true;
        return false;
    }
    m_doubleTalk->process(m_input, m_processed);
    return true;
}
