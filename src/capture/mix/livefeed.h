#pragma once

#include <QByteArrayView>
#include <cstdint>
#include <memory>
#include <vector>

struct SwrContext;

// Takes the meeting while it is recorded, for a live transcript: 16 kHz 16-bit little-endian
// interleaved stereo, channel 0 the microphone after echo cancellation, channel 1 the call, from
// the first sample of the mix on. Both are called from the mixing thread and must not wait.
class LiveAudioConsumer
{
public:
    virtual ~LiveAudioConsumer() = default;
    virtual void pushAudio(QByteArrayView pcm) = 0;
    // The feed ended before the recording did: nothing more will come.
    virtual void audioLost() = 0;
};

// Brings the two inputs, as the live mix lines them up at 48 kHz, down to what the consumer takes.
// Mixing thread only.
class LiveFeed
{
public:
    static constexpr int inputRate = 48000;
    static constexpr int outputRate = 16000;

    explicit LiveFeed(LiveAudioConsumer& consumer);
    ~LiveFeed();
    LiveFeed(const LiveFeed&) = delete;
    LiveFeed& operator=(const LiveFeed&) = delete;

    // `frames` samples of each input, mono, at 48 kHz, following the last ones without a gap.
    void push(const float* microphone, const float* call, std::int64_t frames);
    // Once, when the mix stops short.
    void lost() noexcept;

private:
    struct Free
    {
        void operator()(SwrContext* context) const;
    };

    LiveAudioConsumer& m_consumer;
    std::unique_ptr<SwrContext, Free> m_resampler;
    std::vector<std::int16_t> m_out;
    bool m_lost = false;
};
