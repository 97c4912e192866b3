#pragma once

#include "audiocapture.h"
#include "blockingwait.h"
#include "mix/livefeed.h"
#include "recordedaudio.h"

#include <QFileInfo>
#include <QTest>
#include <QtEndian>
#include <mutex>

// Whether a live track has received audio; an idle null sink may take a moment to deliver its
// first block to a new monitor stream.
inline bool receiving(const QString& track)
{
    return QFileInfo(track).size() > 8192;
}

// Starts the capture and waits until both its tracks receive audio.
inline bool startReceiving(AudioCapture& capture)
{
    blockingWait(capture.start());
    return QTest::qWaitFor(
        [&] { return receiving(capture.microphone()) && receiving(capture.system()); }, 5000);
}

// Takes the live feed as a live transcript would; each channel reads back as audio.
class CollectedFeed final : public LiveAudioConsumer
{
public:
    void pushAudio(QByteArrayView pcm) override
    {
        const std::lock_guard lock(m_mutex);
        m_pcm.append(pcm);
    }
    void audioLost() override
    {
        const std::lock_guard lock(m_mutex);
        m_lost = true;
    }
    [[nodiscard]] bool lost()
    {
        const std::lock_guard lock(m_mutex);
        return m_lost;
    }
    [[nodiscard]] RecordedAudio channel(int index)
    {
        const std::lock_guard lock(m_mutex);
        RecordedAudio audio { LiveFeed::outputRate, 1, {}, 0, 0 };
        const auto* samples = reinterpret_cast<const qint16*>(m_pcm.constData());
        for (qsizetype frame = 0; frame < m_pcm.size() / 4; ++frame) {
            audio.mono.push_back(float(qFromLittleEndian(samples[frame * 2 + index])) / 32768);
        }
        return audio;
    }

private:
    std::mutex m_mutex;
    QByteArray m_pcm;
    bool m_lost = false;
};
