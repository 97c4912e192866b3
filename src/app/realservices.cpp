#include "realservices.h"

QCoro::Task<void> RealCaptureEngine::start()
{
    return m_capture.start();
}

QCoro::Task<AudioCapture::StopResult> RealCaptureEngine::stop()
{
    return m_capture.stop();
}

void RealCaptureEngine::setInterruptionHandler(std::function<void(const QString&)> handler)
{
    m_capture.setInterruptionHandler(std::move(handler));
}

void RealCaptureEngine::setLiveConsumer(LiveAudioConsumer* consumer)
{
    m_capture.setLiveConsumer(consumer);
}

GladiaTranscriber::GladiaTranscriber(Gladia gladia)
    : m_gladia(std::move(gladia))
{ }

QCoro::Task<QString> GladiaTranscriber::transcribe(AudioCapture::Tracks tracks)
{
    return m_gladia.transcribe(std::move(tracks));
}

QCoro::Task<QString> GladiaTranscriber::transcribe(QUrl recording)
{
    return m_gladia.transcribe(recording.toLocalFile());
}

MeetingSessionServices MeetingSessionServices::real()
{
    return {
        [] { return std::make_unique<RealCaptureEngine>(); },
        [](const QString& key) { return std::make_unique<GladiaTranscriber>(Gladia(key)); },
        [] { return std::make_unique<LiveTranscription>(); },
    };
}
