#pragma once

#include "meetingsession.h"

#include <QCoroTimer>
#include <QStringList>
#include <chrono>
#include <exception>
#include <functional>

// Fake capture engine and transcription service for the session's workflow tests: the outside
// services, scripted. Each operation takes a few milliseconds so that a test can look at the
// session while it runs.

const QString bothTracksStatus = QStringLiteral("Enregistrement prêt · micro et audio système");

// A stop that kept both tracks and their mix.
inline AudioCapture::StopResult bothTracks()
{
    AudioCapture::Tracks tracks { QStringLiteral("/tmp/r/microphone.caf"),
        QStringLiteral("/tmp/r/appel.caf"), 0.35, 0 };
    return { QStringLiteral("/tmp/r/reunion.m4a"), tracks, std::nullopt };
}

// What the fake engine and transcriber do when called.
struct Script
{
    std::exception_ptr startFailure;
    std::exception_ptr stopFailure;
    AudioCapture::StopResult stopResult = bothTracks();
    std::exception_ptr transcribeFailure;
    QString transcript = QStringLiteral("[00:00] Micro · Bonjour.");

    // The interruption handler and the live transcript the session gave the last engine.
    std::function<void(const QString&)> interrupt;
    LiveAudioConsumer* live = nullptr;

    int enginesMade = 0;
    QStringList keysGiven;
    QStringList routes; // "tracks" or "file"
};

// The engine and the transcriber in one, each following the script.
class FakeService final : public CaptureEngine, public Transcriber
{
public:
    explicit FakeService(Script& script)
        : m_script(script)
    { }
    QCoro::Task<void> start() override
    {
        co_await QCoro::sleepFor(std::chrono::milliseconds(5));
        if (m_script.startFailure) {
            std::rethrow_exception(m_script.startFailure);
        }
    }
    QCoro::Task<AudioCapture::StopResult> stop() override
    {
        co_await QCoro::sleepFor(std::chrono::milliseconds(5));
        if (m_script.stopFailure) {
            std::rethrow_exception(m_script.stopFailure);
        }
        co_return AudioCapture::StopResult(m_script.stopResult);
    }
    void setInterruptionHandler(std::function<void(const QString&)> handler) override
    {
        m_script.interrupt = std::move(handler);
    }
    void setLiveConsumer(LiveAudioConsumer* consumer) override { m_script.live = consumer; }
    QCoro::Task<QString> transcribe(AudioCapture::Tracks) override
    {
        m_script.routes << QStringLiteral("tracks");
        co_return co_await answer();
    }
    QCoro::Task<QString> transcribe(QUrl) override
    {
        m_script.routes << QStringLiteral("file");
        co_return co_await answer();
    }

private:
    QCoro::Task<QString> answer()
    {
        co_await QCoro::sleepFor(std::chrono::milliseconds(5));
        if (m_script.transcribeFailure) {
            std::rethrow_exception(m_script.transcribeFailure);
        }
        co_return QString(m_script.transcript); // a copy: GCC 12 moves from a co_returned lvalue
    }

    Script& m_script;
};

// Session services that make the fake above, following `script`.
inline MeetingSessionServices fakeServices(Script& script)
{
    return {
        [&script] {
            ++script.enginesMade;
            return std::make_unique<FakeService>(script);
        },
        [&script](const QString& key) {
            script.keysGiven << key;
            return std::make_unique<FakeService>(script);
        },
    };
}
