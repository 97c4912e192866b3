#pragma once

#include <cstdint>
#include <memory>
#include <vector>

// While the local speaker talks over the call, the echo canceller's suppressor takes a few
// decibels of their voice along with the echo. Beside it runs a linear-only canceller, which
// subtracts its estimate of the echo and never gates, and wherever the main canceller's output
// still holds a voice (its suppressor let something through that far exceeds any echo left), that
// output is replaced by the linear one: the local voice keeps its level, and the main canceller's
// output stays everywhere else. The linear one stands in only while it shows, where the call talks
// alone, that it takes at least 10 dB off the echo; a delay that jumps, or an echo it has not
// learnt, leaves the main output in place. Works on 10 ms frames on the canceller's thread.
class DoubleTalkPath
{
public:
    // The linear filter's reach: echoes up to this long after the call audio it is handed.
    static constexpr int filterMilliseconds = 100;

    // The linear canceller gets the call `referenceDelayFrames` 10 ms frames later than the main
    // one, which is handed it ahead of the microphone. The main one's output runs
    // `outputDelaySamples` behind its input; the linear output is delayed to match.
    DoubleTalkPath(int microphoneRate, int channels, int referenceDelayFrames,
        std::int64_t outputDelaySamples = 0);
    ~DoubleTalkPath();
    DoubleTalkPath(const DoubleTalkPath&) = delete;
    DoubleTalkPath& operator=(const DoubleTalkPath&) = delete;

    // A 10 ms frame of the call, mono, at `rate`, as it is handed to the main canceller.
    void pushReference(const std::vector<float>& frame, int rate);
    // The echo moved within the filter (the call is handed over at another lead): the linear
    // output is not used again until it shows, where the call talks alone, that it learnt the
    // echo's new place. Until then it would put the whole echo back where both talk.
    void echoMoved()
    {
        m_linearLoss = 0;
        m_relearning = true;
    }
    // `input` holds a 10 ms microphone frame per channel and `cancelled` the main canceller's
    // output for it, which is changed where the local speaker talks.
    void process(
        const std::vector<std::vector<float>>& input, std::vector<std::vector<float>>& cancelled);

private:
    struct Speex;
    std::unique_ptr<Speex> m_speex;
    int m_microphoneRate;
    std::size_t m_delay; // samples at the microphone's rate
    std::vector<float> m_reference; // call audio at the microphone's rate, oldest first
    int m_holdFrames = 0;
    double m_linearLoss = 0; // dB the linear canceller takes off where only the call talks
    // Since the echo moved, until trusted again: the loss is measured wherever the call comes in,
    // as the main canceller, relearning too, may leave what looks like a voice everywhere.
    bool m_relearning = false;
    bool m_usedLinear = false;
    std::vector<short> m_microphone16;
    std::vector<short> m_reference16;
    std::vector<short> m_linear16;
    std::vector<std::vector<float>> m_linear; // per channel
    // The last `outputDelaySamples` of the microphone and of the linear output, per channel, which
    // line up with the main canceller's next output.
    std::size_t m_outputDelay;
    std::vector<std::vector<float>> m_pendingInput;
    std::vector<std::vector<float>> m_pendingLinear;
    std::vector<std::vector<float>> m_delayedInput;
    std::vector<float> m_linearNow;
};
