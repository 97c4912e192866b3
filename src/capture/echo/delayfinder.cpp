#include "echo/delayfinder.h"

#include <algorithm>
#include <cmath>

using namespace echo;

void DelayFinder::forget()
{
    m_microphoneLevels.clear();
    m_callLevels.clear();
}

std::optional<double> DelayFinder::update(
    const std::vector<std::vector<float>>& input, std::optional<float> call)
{
    double power = 0;
    for (const std::vector<float>& channel : input) {
        for (const float sample : channel) {
            power += double(sample) * sample;
        }
    }
    const std::size_t samples = input.size() * input.front().size();
    if (!call) {
        return std::nullopt;
    }
    m_microphoneLevels.push_back(float(power / double(std::max<std::size_t>(samples, 1))));
    m_callLevels.push_back(*call);
    if (m_microphoneLevels.size() > levelHistoryFrames) {
        m_microphoneLevels.pop_front();
        m_callLevels.pop_front();
    }
    m_couplingLoss = std::max(0.0, m_couplingLoss - lossDecayPerFrame);
    const std::size_t count = m_microphoneLevels.size();
    if (count >= microphoneWindowFrames) {
        double call = 0;
        for (std::size_t frame = count - callWindowStart; frame < count - callWindowEnd; ++frame) {
            call += m_callLevels[frame];
        }
        call /= double(callWindowStart - callWindowEnd);
        double microphone = 0;
        for (std::size_t frame = count - microphoneWindowFrames; frame < count; ++frame) {
            microphone += m_microphoneLevels[frame];
        }
        microphone /= double(microphoneWindowFrames);
        if (call >= activeCallPower) {
            const double loss = 10 * std::log10(call / std::max(microphone, 1e-12));
            m_couplingLoss = std::max(m_couplingLoss, std::min(loss, largestLoss));
        }
    }
    if (++m_framesSinceDelayCheck >= delayCheckFrames && count >= firstDelayCheckFrames) {
        m_framesSinceDelayCheck = 0;
        return checkDelay();
    }
    return std::nullopt;
}

// Hands the call over `wanted` ahead of the microphone from now on, one frame for each
// microphone frame as before, so that the canceller is neither flooded nor starved: later, it
// hears silence for the difference; earlier, the call audio in between is skipped (by the
// caller, with the change returned).
double DelayFinder::moveLead(double wanted)
{
    const double change = wanted - m_lead;
    m_lead = wanted;
    forget();
    return change;
}

std::optional<double> DelayFinder::checkDelay()
{
    const std::size_t count = m_callLevels.size();
    std::vector<double> call(count);
    std::vector<double> microphone(count);
    std::size_t active = 0;
    for (std::size_t frame = 0; frame < count; ++frame) {
        active += m_callLevels[frame] >= activeCallPower ? 1 : 0;
        call[frame] = std::log10(double(m_callLevels[frame]) + 1e-9);
        microphone[frame] = std::log10(double(m_microphoneLevels[frame]) + 1e-9);
    }
    if (active < count / 4) {
        return std::nullopt; // too little of the call to tell
    }
    double best = delayMatch;
    std::optional<int> bestLag;
    for (int lag = -largestLagFrames; lag <= largestLagFrames; ++lag) {
        // The microphone at `frame` against the call at `frame - lag`.
        // Only where the call talks: before it, the microphone's own voice starting at about the
        // same moment as the call would match it as well as an echo does.
        const std::size_t first = std::size_t(std::max(0, lag));
        const std::size_t last = count - std::size_t(std::max(0, -lag));
        double sumCall = 0, sumMicrophone = 0, sumCallSquared = 0, sumMicrophoneSquared = 0,
               sumProduct = 0;
        std::size_t compared = 0;
        for (std::size_t frame = first; frame < last; ++frame) {
            const std::size_t callFrame = std::size_t(std::ptrdiff_t(frame) - lag);
            if (m_callLevels[callFrame] < activeCallPower) {
                continue;
            }
            ++compared;
            const double x = call[callFrame];
            const double y = microphone[frame];
            sumCall += x;
            sumMicrophone += y;
            sumCallSquared += x * x;
            sumMicrophoneSquared += y * y;
            sumProduct += x * y;
        }
        if (compared < count / 4) {
            continue;
        }
        const double n = double(compared);
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
        return std::nullopt;
    }
    const double wanted
        = std::clamp(targetDelay - double(*bestLag) * frameNanoseconds, smallestLead, largestLead);
    if (std::abs(wanted - m_lead) > leadStep) {
        return moveLead(wanted);
    }
    return std::nullopt;
}
