#pragma once

#include "pcmbuffer.h"

#include <cstdint>
#include <memory>
#include <vector>

namespace webrtc {
class AudioProcessing;
}
class DoubleTalkPath;

// The library's echo canceller and, beside it, the linear one that keeps the local voice in
// double talk (DoubleTalkPath), for one microphone format: it owns the frame being cancelled and
// knows how far the output runs behind the input. Kept apart so that the library's interface
// shows nowhere else; once the library fails it stays broken and the microphone goes out raw.
class EchoProcessor
{
public:
    EchoProcessor();
    ~EchoProcessor();
    EchoProcessor(const EchoProcessor&) = delete;
    EchoProcessor& operator=(const EchoProcessor&) = delete;

    // A fresh canceller for microphone frames of `format` and a mono call at `referenceRate`;
    // false, with none, when the library cannot make one.
    bool start(const PcmFormat& format, int referenceRate);
    // Drops the canceller (the call moved to another rate): the next frame starts a fresh one.
    void reset();
    // The call is now handed over at another lead: the echo sits elsewhere in the filters.
    void echoMoved();
    [[nodiscard]] bool ready() const { return m_canceller != nullptr; }
    [[nodiscard]] bool broken() const { return m_broken; }
    void markBroken() { m_broken = true; }
    // Of the microphone frames the canceller was set up for.
    [[nodiscard]] const PcmFormat& format() const { return m_format; }
    // How many frames the canceller's output runs behind its input (its filter bank and block
    // framing).
    [[nodiscard]] std::int64_t lagFrames() const { return m_lagFrames; }

    // Hands over a mono call frame at `rate`; false once the canceller has failed.
    bool feedReference(const std::vector<float>& frame, int rate);
    // Sets `input` to `frames` of silence per channel.
    void clearInput(std::int64_t frames);
    // Runs the canceller on `input` into `processed`; false once it has failed.
    bool cancel();

    // One vector per channel of the microphone frame at hand, and what cancelling made of it.
    [[nodiscard]] std::vector<std::vector<float>>& input() { return m_input; }
    [[nodiscard]] const std::vector<std::vector<float>>& processed() const { return m_processed; }

private:
    std::unique_ptr<webrtc::AudioProcessing> m_canceller;
    std::unique_ptr<DoubleTalkPath> m_doubleTalk;
    PcmFormat m_format;
    bool m_broken = false;
    std::int64_t m_lagFrames = 0;
    std::vector<std::vector<float>> m_input;
    std::vector<std::vector<float>> m_processed;
    std::vector<const float*> m_inputChannels; // the canceller's view of `input` and `processed`
    std::vector<float*> m_processedChannels;
    std::vector<float> m_referenceScratch;
};
