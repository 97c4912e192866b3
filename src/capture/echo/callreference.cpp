#include "echo/callreference.h"

#include <algorithm>
#include <cmath>
#include <utility>

using namespace echo;

CallReference::CallReference(std::function<void()> moving)
    : m_moving(std::move(moving))
{ }

void CallReference::take(std::vector<Chunk>& chunks)
{
    for (Chunk& chunk : chunks) {
        if (!m_moved.empty() || (m_started && chunk.format.sampleRate != m_rate)) {
            m_movedQueued += chunk.duration();
            m_moved.push_back(std::move(chunk));
        } else {
            add(chunk);
        }
    }
    chunks.clear();
    // A microphone that stalls must not let the call pile up here.
    while (m_movedQueued > maximumBacklog + 2 * referenceHistory) {
        applyMoved();
    }
}

void CallReference::applyMoved()
{
    const int rate = m_moved.front().format.sampleRate;
    while (!m_moved.empty() && m_moved.front().format.sampleRate == rate) {
        m_movedQueued -= m_moved.front().duration();
        add(m_moved.front());
        m_moved.pop_front();
    }
    if (m_moved.empty()) {
        m_movedQueued = 0; // no rounding left over
    }
}

bool CallReference::moveDue(double frameEnd) const
{
    return !m_moved.empty()
        && frameEnd > m_cursor + (double(m_reference.size()) + 0.5) * nanosecondsPerSecond / m_rate;
}

// Places the call audio on its own timeline: small disagreements between buffer times and sample
// counts are jitter, larger ones a gap (filled with silence) or an overlap (dropped).
void CallReference::add(const Chunk& chunk)
{
    const int rate = chunk.format.sampleRate;
    std::int64_t skip = 0;
    std::int64_t overlap = 0;
    if (m_started && rate != m_rate) {
        // The call moved to an output of another rate: the canceller starts afresh, and learns
        // the room again while it holds the microphone back.
        m_moving();
    }
    if (!m_started || rate != m_rate) {
        m_reference.clear();
        m_owed = 0;
        m_rate = rate;
        m_cursor = double(chunk.hostTime);
        m_started = true;
        m_timeline.clear();
        m_timelineStart = m_cursor;
    } else {
        const double end = m_cursor + double(m_reference.size()) * nanosecondsPerSecond / rate;
        const double delta = double(chunk.hostTime) - end;
        if (delta > continuityTolerance) {
            const auto gap = std::size_t(std::llround(delta * rate / nanosecondsPerSecond));
            m_reference.insert(m_reference.end(), gap, 0.0f);
            m_timeline.insert(m_timeline.end(), gap, 0.0f);
        } else if (delta < -continuityTolerance) {
            skip = std::llround(-delta * rate / nanosecondsPerSecond);
        }
        overlap = skip;
        // Silence already stood in for the start of this audio: it keeps its place.
        if (m_owed > double(rate) * continuityTolerance / nanosecondsPerSecond) {
            m_owed = 0; // too long: a gap, not a late delivery
        }
        const auto owed = std::min(std::int64_t(m_owed), chunk.frames - skip);
        skip += owed;
        m_owed -= double(owed);
    }
    const int channels = chunk.format.channelCount;
    for (std::int64_t frame = overlap; frame < chunk.frames; ++frame) {
        float sum = 0;
        for (int channel = 0; channel < channels; ++channel) {
            sum += chunk.sample(frame, channel);
        }
        m_timeline.push_back(sum / float(channels));
        if (frame >= skip) {
            m_reference.push_back(m_timeline.back());
        }
    }
    const auto timelineKept = std::size_t(
        (learningLimit + maximumBacklog + 2 * referenceHistory) * rate / nanosecondsPerSecond);
    if (m_timeline.size() > timelineKept) {
        const std::size_t dropped = m_timeline.size() - timelineKept;
        m_timeline.erase(m_timeline.begin(), m_timeline.begin() + std::ptrdiff_t(dropped));
        m_timelineStart += double(dropped) * nanosecondsPerSecond / rate;
    }
    // A microphone that stalls must not let the call pile up here.
    const auto kept
        = std::size_t((maximumBacklog + 2 * referenceHistory) * rate / nanosecondsPerSecond);
    if (m_reference.size() > kept) {
        const std::size_t dropped = m_reference.size() - kept;
        m_reference.erase(m_reference.begin(), m_reference.begin() + std::ptrdiff_t(dropped));
        m_cursor += double(dropped) * nanosecondsPerSecond / rate;
    }
}

const std::vector<float>& CallReference::timelineFrame(double start)
{
    const auto length = std::size_t(m_rate / 100);
    m_timelineFrame.assign(length, 0.0f);
    const auto first = std::llround((start - m_timelineStart) * m_rate / nanosecondsPerSecond);
    for (std::size_t at = 0; at < length; ++at) {
        const auto index = first + std::int64_t(at);
        if (index >= 0 && index < std::int64_t(m_timeline.size())) {
            m_timelineFrame[at] = m_timeline[std::size_t(index)];
        }
    }
    return m_timelineFrame;
}

void CallReference::startSilent(int rate, double start)
{
    m_started = true;
    m_rate = rate;
    m_cursor = start;
}

void CallReference::dropStale(double frameStart)
{
    if (!m_started || m_rate <= 0) {
        return;
    }
    const double oldest = frameStart - referenceHistory;
    if (m_cursor < oldest) {
        const auto stale
            = std::size_t(std::floor((oldest - m_cursor) * m_rate / nanosecondsPerSecond));
        const std::size_t dropped = std::min(stale, m_reference.size());
        m_reference.erase(m_reference.begin(), m_reference.begin() + std::ptrdiff_t(dropped));
        m_cursor += double(stale) * nanosecondsPerSecond / m_rate;
    }
}

bool CallReference::frameDue(double frameEnd) const
{
    // Half a sample of slack so that rounding never asks for one frame too many.
    return m_cursor + nanosecondsPerSecond / m_rate / 2 < frameEnd;
}

bool CallReference::frameMissing() const
{
    return double(m_reference.size()) < double(m_rate / 100);
}

const std::vector<float>& CallReference::takeFrame()
{
    const int rate = m_rate;
    const std::size_t length = std::size_t(rate / 100);
    m_frame.assign(length, 0.0f);
    const std::size_t present = std::min(length, m_reference.size());
    m_owed += double(length - present);
    std::copy_n(m_reference.begin(), present, m_frame.begin());
    m_reference.erase(m_reference.begin(), m_reference.begin() + std::ptrdiff_t(present));
    m_cursor += double(length) * nanosecondsPerSecond / rate;

    float peak = 0;
    for (const float sample : m_frame) {
        peak = std::max(peak, std::abs(sample));
    }
    m_silentFrames = peak > silenceThreshold ? 0 : m_silentFrames + 1;
    double power = 0;
    for (const float sample : m_frame) {
        power += double(sample) * sample;
    }
    m_powers.push_front(float(power / double(length)));
    if (m_powers.size() > std::size_t(largestLead / frameNanoseconds) + 2) {
        m_powers.pop_back();
    }
    return m_frame;
}

double CallReference::lastFrameStart() const
{
    const std::size_t length = std::size_t(m_rate / 100);
    return m_cursor - double(length) * nanosecondsPerSecond / m_rate;
}

bool CallReference::silent() const
{
    return m_silentFrames >= silentFramesBeforeBypass;
}

std::optional<float> CallReference::powerAt(double lead) const
{
    // The newest fed call frame starts `lead` after this one.
    const auto back = std::lround(lead / frameNanoseconds);
    if (back >= 0) {
        return std::size_t(back) < m_powers.size() ? std::optional(m_powers[std::size_t(back)])
                                                   : std::nullopt;
    }
    const auto length = std::size_t(m_rate / 100);
    const auto from = std::size_t(-back - 1) * length;
    if (length == 0 || m_reference.size() < from + length) {
        return std::nullopt;
    }
    double power = 0;
    for (auto sample = m_reference.begin() + std::ptrdiff_t(from);
         sample != m_reference.begin() + std::ptrdiff_t(from + length); ++sample) {
        power += double(*sample) * *sample;
    }
    return float(power / double(length));
}

void CallReference::shift(double change)
{
    if (!m_started || !usableRate(m_rate)) {
        return;
    }
    const auto samples
        = std::size_t(std::llround(std::abs(change) * m_rate / nanosecondsPerSecond));
    if (change < 0) {
        m_reference.insert(m_reference.begin(), samples, 0.0f);
        m_cursor -= double(samples) * nanosecondsPerSecond / m_rate;
    } else {
        const std::size_t skipped = std::min(samples, m_reference.size());
        m_reference.erase(m_reference.begin(), m_reference.begin() + std::ptrdiff_t(skipped));
        m_cursor += double(skipped) * nanosecondsPerSecond / m_rate;
    }
}
