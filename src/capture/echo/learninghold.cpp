#include "echo/learninghold.h"

#include "echo/callreference.h"
#include "echo/echoprocessor.h"
#include "echo/echotuning.h"

#include <algorithm>

using namespace echo;

void LearningHold::beginIfFresh(std::int64_t position)
{
    if (!m_fresh) {
        return;
    }
    m_fresh = false;
    m_active = true;
    m_start = position;
    m_cancelled = 0;
    m_log.clear();
}

bool LearningHold::due(std::int64_t position, int rate) const
{
    return m_cancelled >= learningFrames
        || double(position - m_start) * nanosecondsPerSecond / rate >= learningLimit;
}

void LearningHold::logCall(double callStart, double lead)
{
    m_log.push_back({ true, callStart, lead, 0, 0, false, false });
}

void LearningHold::logMicrophone(
    std::int64_t position, std::int64_t frames, bool cancel, bool previousCancelled)
{
    m_log.push_back({ false, 0, 0, position, frames, cancel, previousCancelled });
    m_cancelled += cancel ? 1 : 0;
}

void LearningHold::replay(EchoProcessor& processor, CallReference& call, double lead,
    const std::function<void()>& restartInput,
    const std::function<void(const Step&)>& replayMicrophone)
{
    const int referenceRate = call.rate();
    const bool replay
        = processor.ready() && !processor.broken() && !m_log.empty() && usableRate(referenceRate);
    const std::vector<float> silence(std::size_t(std::max(referenceRate, 0) / 100), 0.0f);
    for (int pass = 1; replay && pass <= learningPasses && !processor.broken(); ++pass) {
        // Output is written on the last pass only.
        m_active = pass < learningPasses;
        const int flush = pass == learningPasses ? writtenPassFlushFrames : learningFlushFrames;
        for (int frame = 0; frame < flush; ++frame) {
            if (!processor.feedReference(silence, referenceRate)) {
                break;
            }
            processor.clearInput(processor.format().sampleRate / 100);
            if (!processor.cancel()) {
                break;
            }
        }
        restartInput();
        for (const Step& step : m_log) {
            if (processor.broken()) {
                break;
            }
            if (step.call) {
                processor.feedReference(
                    call.timelineFrame(step.callStart + lead - step.lead), referenceRate);
            } else {
                replayMicrophone(step);
            }
        }
    }
    m_active = false;
    m_log.clear();
    m_log.shrink_to_fit();
}
