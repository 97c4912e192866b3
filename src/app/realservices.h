#pragma once

#include "gladia.h"
#include "meetingsession.h"

// The capture engine of a real recording: the microphone and the call from the sound server.
class RealCaptureEngine final : public CaptureEngine
{
public:
    QCoro::Task<void> start() override;
    QCoro::Task<AudioCapture::StopResult> stop() override;
    void setInterruptionHandler(std::function<void(const QString&)> handler) override;
    void setLiveConsumer(LiveAudioConsumer* consumer) override;

private:
    AudioCapture m_capture;
};

// The transcription service reached through a Gladia client.
class GladiaTranscriber final : public Transcriber
{
public:
    explicit GladiaTranscriber(Gladia gladia);
    QCoro::Task<QString> transcribe(AudioCapture::Tracks tracks) override;
    QCoro::Task<QString> transcribe(QUrl recording) override;

private:
    Gladia m_gladia;
};
