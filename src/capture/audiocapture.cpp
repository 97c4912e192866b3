#include "audiocapture.h"

#include "audiosource.h"
#include "background.h"
#include "captureerror.h"
#include "echocanceller.h"
#include "pulsesource.h"
#include "trackwriter.h"

#include <QDir>
#include <QFile>
#include <QUuid>
#include <algorithm>
#include <filesystem>
#include <system_error>
#include <utility>

namespace {

AudioCapture::Sources pulseSources()
{
    return {
        [] { return std::unique_ptr<AudioSource>(PulseSource::openMicrophone()); },
        [] { return std::unique_ptr<AudioSource>(PulseSource::openSystemAudio()); },
    };
}

void createFolder(const QString& folder)
{
    std::error_code error;
    std::filesystem::create_directories(QFile::encodeName(folder).toStdString(), error);
    if (error) {
        throw PlatformError(QString::fromStdString(error.message()));
    }
}

// Forwards each buffer of a source straight to its own writer, never through the capture object.
AudioSource::Handler feeding(TrackWriter* writer)
{
    return [writer](const PcmBuffer& buffer, std::uint64_t hostTime) {
        writer->append(buffer, hostTime);
    };
}

} // namespace

AudioCapture::AudioCapture()
    : AudioCapture(pulseSources())
{ }

AudioCapture::AudioCapture(Sources sources)
    : m_folder(QDir::temp().filePath(QUuid::createUuid().toString(QUuid::WithoutBraces)))
    , m_microphone(m_folder + QStringLiteral("/microphone.caf"))
    , m_system(m_folder + QStringLiteral("/appel.caf"))
    , m_sources(std::move(sources))
{ }

AudioCapture::~AudioCapture()
{
    stopInputs();
}

QCoro::Task<void> AudioCapture::start()
{
    co_await runInBackground([this] { startInputs(); });
}

QCoro::Task<AudioCapture::StopResult> AudioCapture::stop()
{
    co_return co_await runInBackground([this] { return stopRecording(); });
}

void AudioCapture::startInputs()
{
    // The microphone is checked before anything exists on disk.
    std::unique_ptr<AudioSource> microphone = m_sources.microphone();
    createFolder(m_folder);
    std::unique_ptr<AudioSource> systemTap = m_sources.systemAudio();

    m_micWriter = std::make_unique<TrackWriter>(m_microphone, false);
    m_systemWriter = std::make_unique<TrackWriter>(m_system, true);
    // The call is removed from the microphone before it is written. The raw microphone is not kept
    // beside it: it would double the largest track for the moments the call talks, since the
    // written track is the raw one bit for bit wherever the call is silent or the canceller fails.
    m_echoCanceller = std::make_unique<EchoCanceller>(feeding(m_micWriter.get()));
    m_systemTap = std::move(systemTap);
    m_microphoneInput = std::move(microphone);

    // The call first, then the microphone.
    try {
        m_systemTap->start([writer = m_systemWriter.get(), echo = m_echoCanceller.get()](
                               const PcmBuffer& buffer, std::uint64_t hostTime) {
            writer->append(buffer, hostTime);
            echo->pushReference(buffer, hostTime);
        });
        m_microphoneInput->start(
            [echo = m_echoCanceller.get()](const PcmBuffer& buffer, std::uint64_t hostTime) {
                echo->pushMicrophone(buffer, hostTime);
            });
    } catch (...) {
        stopInputs();
        throw;
    }
}

void AudioCapture::stopInputs() noexcept
{
    if (m_microphoneInput) {
        m_microphoneInput->stop();
        m_microphoneInput.reset();
    }
    if (m_systemTap) {
        m_systemTap->stop();
        m_systemTap.reset();
    }
    if (m_echoCanceller) {
        m_echoCanceller->finish(); // the microphone audio it still holds reaches the writer
    }
}

AudioCapture::StopResult AudioCapture::stopRecording()
{
    if (!m_systemTap) {
        throw CaptureError(QStringLiteral("Aucun enregistrement en cours."));
    }
    stopInputs();

    const std::optional<TrackWriter::Finished> microphone = m_micWriter->finish();
    const std::optional<TrackWriter::Finished> call = m_systemWriter->finish();
    const QString mix = m_folder + QStringLiteral("/reunion.m4a");
    const bool callUsable = call && call->hasSignal;

    if (microphone && callUsable) {
        const double base = std::min(microphone->start, call->start);
        Tracks tracks { m_microphone, m_system, microphone->start - base, call->start - base };
        AudioCapture::mix(
            m_microphone, m_system, mix, tracks.microphoneOffset, tracks.systemOffset);
        return { mix, std::move(tracks), std::nullopt };
    }
    if (microphone) {
        exportAudio({ { m_microphone, 0 } }, mix);
        return { mix, std::nullopt, AudioPermissionHelp::systemAudioSilent };
    }
    if (callUsable) {
        exportAudio({ { m_system, 0 } }, mix);
        return { mix, std::nullopt, AudioPermissionHelp::microphone };
    }
    throw AudioPermissionHelp(AudioPermissionHelp::microphone);
}
