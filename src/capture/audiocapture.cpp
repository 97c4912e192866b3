#include "audiocapture.h"

#include "audiosource.h"
#include "background.h"
#include "captureerror.h"
#include "pulsesource.h"
#include "trackwriter.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
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

// Forwards each buffer of a source straight to its own writer, never through the capture object,
// then to the live mix when there is one.
AudioSource::Handler feeding(TrackWriter* writer, LiveMix* liveMix, LiveMix::Input input)
{
    return [writer, liveMix, input](const PcmBuffer& buffer, std::uint64_t hostTime) {
        writer->append(buffer, hostTime);
        if (liveMix) {
            liveMix->append(input, buffer, hostTime);
        }
    };
}

} // namespace

AudioCapture::AudioCapture()
    : AudioCapture(pulseSources())
{ }

AudioCapture::AudioCapture(Sources sources, LiveMix::Settings liveMix)
    : m_folder(QDir::temp().filePath(QUuid::createUuid().toString(QUuid::WithoutBraces)))
    , m_microphone(m_folder + QStringLiteral("/microphone.caf"))
    , m_system(m_folder + QStringLiteral("/appel.caf"))
    , m_sources(std::move(sources))
    , m_liveMixSettings(std::move(liveMix))
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
    m_systemTap = std::move(systemTap);
    m_microphoneInput = std::move(microphone);
    try {
        m_liveMix
            = std::make_unique<LiveMix>(LiveMix::Files { m_folder + QStringLiteral("/reunion.m4a"),
                                            uploadCopy(m_microphone), uploadCopy(m_system) },
                m_liveMixSettings);
    } catch (...) {
        // Recording goes on without it: the stop mixes the tracks.
    }

    // The call first, then the microphone.
    try {
        m_systemTap->start(feeding(m_systemWriter.get(), m_liveMix.get(), LiveMix::Input::system));
        m_microphoneInput->start(
            feeding(m_micWriter.get(), m_liveMix.get(), LiveMix::Input::microphone));
    } catch (...) {
        stopInputs();
        m_liveMix.reset();
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

    // The mix made while recording, when it kept up; otherwise the tracks are mixed now.
    const std::unique_ptr<LiveMix> liveMix = std::move(m_liveMix);
    m_mixedWhileRecording = liveMix && (microphone || callUsable)
        && liveMix->finish({ microphone ? std::optional(microphone->start) : std::nullopt,
            callUsable ? std::optional(call->start) : std::nullopt });
    const bool mixNow = !m_mixedWhileRecording;

    if (microphone && callUsable) {
        const double base = std::min(microphone->start, call->start);
        Tracks tracks { m_microphone, m_system, microphone->start - base, call->start - base };
        if (mixNow) {
            AudioCapture::mix(
                m_microphone, m_system, mix, tracks.microphoneOffset, tracks.systemOffset);
        }
        return { mix, std::move(tracks), std::nullopt };
    }
    if (microphone) {
        if (mixNow) {
            exportAudio({ { m_microphone, 0 } }, mix);
        }
        return { mix, std::nullopt, AudioPermissionHelp::systemAudioSilent };
    }
    if (callUsable) {
        if (mixNow) {
            exportAudio({ { m_system, 0 } }, mix);
        }
        return { mix, std::nullopt, AudioPermissionHelp::microphone };
    }
    throw AudioPermissionHelp(AudioPermissionHelp::microphone);
}

QString AudioCapture::uploadCopy(const QString& track)
{
    const QFileInfo file(track);
    return file.absolutePath() + QStringLiteral("/.") + file.completeBaseName()
        + QStringLiteral(".m4a");
}
