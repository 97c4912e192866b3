#include "audiocapture.h"

#include "audiosource.h"
#include "background.h"
#include "captureerror.h"
#include "echo/echocanceller.h"
#include "hostclock.h"
#include "platformtext.h"
#include "source/clockfollower.h"
#include "source/pulsesource.h"
#include "track/recordingfolder.h"
#include "track/spacereserve.h"
#include "track/trackcutoff.h"
#include "track/trackwriter.h"

#include <QFile>
#include <QFileInfo>
#include <QStringList>
#include <algorithm>
#include <utility>

namespace {

AudioCapture::Sources pulseSources()
{
    return {
        [] { return std::unique_ptr<AudioSource>(PulseSource::openMicrophone()); },
        [] { return std::unique_ptr<AudioSource>(PulseSource::openSystemAudio()); },
    };
}

// Forwards each buffer of a source straight to its own writer, never through the capture object,
// notes when the track began for a recovery after a crash, then hands what the track took to the
// live mix when there is one.
AudioSource::Handler feeding(
    TrackWriter* writer, TrackCutoff* cutoff, LiveMix* liveMix, LiveMix::Input input)
{
    return [writer, cutoff, liveMix, input, started = false](
               const PcmBuffer& buffer, std::uint64_t hostTime) mutable {
        if (!cutoff->append(*writer, buffer, hostTime)) {
            return;
        }
        if (!started && buffer.frameLength > 0) {
            started = true;
            const QFileInfo track(writer->path());
            TrackStarts::note(track.path(), track.fileName(), hostTimeToSeconds(hostTime));
        }
        if (liveMix) {
            liveMix->append(input, buffer, hostTime);
        }
    };
}

// Says which tracks could not be closed cleanly; the audio they took is kept all the same.
std::optional<QString> closingSentence(const std::optional<TrackWriter::Finished>& microphone,
    const std::optional<TrackWriter::Finished>& call)
{
    QStringList sentences;
    for (const auto& [finished, name] : { std::pair(&microphone, QStringLiteral("du micro")),
             std::pair(&call, QStringLiteral("de l’appel")) }) {
        if (*finished && (*finished)->closing) {
            QString reason = describeError((*finished)->closing);
            reason[0] = reason[0].toLower(); // follows a colon
            sentences << QStringLiteral("La fermeture de la piste %1 a échoué : %2 L’audio "
                                        "enregistré est conservé.")
                             .arg(name, reason);
        }
    }
    return sentences.isEmpty() ? std::nullopt : std::optional(sentences.join(u' '));
}

// What a stopped input could not record, kept for the stop's result.
void keepLosses(const AudioSource& input, std::vector<AudioLoss>& losses)
{
    const std::vector<AudioLoss> lost = input.losses();
    losses.insert(losses.end(), lost.begin(), lost.end());
}

} // namespace

AudioCapture::AudioCapture()
    : AudioCapture(pulseSources())
{ }

AudioCapture::AudioCapture(Sources sources, LiveMix::Settings liveMix)
    : m_folder(RecordingLocation::newFolder())
    , m_microphone(m_folder + QStringLiteral("/microphone.caf"))
    , m_system(m_folder + QStringLiteral("/appel.caf"))
    , m_sources(std::move(sources))
    , m_liveMixSettings(std::move(liveMix))
{ }

AudioCapture::~AudioCapture()
{
    stopInputs();
}

void AudioCapture::setInterruptionHandler(std::function<void(const QString&)> handler)
{
    m_interrupted = std::move(handler);
}

QCoro::Task<void> AudioCapture::start()
{
    co_await runInBackground([this] { startInputs(); });
}

QCoro::Task<AudioCapture::StopResult> AudioCapture::stop()
{
    StopResult result = co_await runInBackground([this] { return stopRecording(); });
    result.losses = m_losses;
    co_return result;
}

void AudioCapture::startInputs()
{
    // Every input goes through its clock follower, so that the tracks and the live mix count its
    // frames on the host clock.
    const auto following = [](std::unique_ptr<AudioSource> source, AudioLoss::Input input) {
        return std::make_unique<ClockFollower>(std::move(source), input);
    };
    // The microphone is checked before anything exists on disk.
    std::unique_ptr<ClockFollower> microphone
        = following(m_sources.microphone(), AudioLoss::Input::microphone);
    RecordingLocation::create(m_folder);
    if (std::optional<RecordingLock> lock = RecordingLock::tryLock(m_folder)) {
        m_lock = std::make_unique<RecordingLock>(std::move(*lock));
    }
    // A disk too full to hold even a short mix refuses the recording before it begins.
    try {
        m_reserve = std::make_unique<SpaceReserve>(m_folder);
    } catch (const StorageError& error) {
        if (error.diskFull()) {
            throw CaptureError(QStringLiteral(
                "Disque plein : libérez de l’espace, puis relancez l’enregistrement."));
        }
        throw;
    }
    m_cutoff = std::make_unique<TrackCutoff>(*m_reserve, m_interrupted);
    std::unique_ptr<ClockFollower> systemTap
        = following(m_sources.systemAudio(), AudioLoss::Input::call);

    m_micWriter = std::make_unique<TrackWriter>(m_microphone, false);
    m_systemWriter = std::make_unique<TrackWriter>(m_system, true);
    m_systemTap = std::move(systemTap);
    m_microphoneInput = std::move(microphone);
    try {
        LiveMix::Settings settings = m_liveMixSettings;
        if (m_liveConsumer) {
            m_liveFeed = std::make_unique<LiveFeed>(*m_liveConsumer);
            settings.feed = m_liveFeed.get();
        }
        m_liveMix
            = std::make_unique<LiveMix>(LiveMix::Files { m_folder + QStringLiteral("/reunion.m4a"),
                                            uploadCopy(m_microphone), uploadCopy(m_system) },
                settings);
    } catch (...) {
        // Recording goes on without it: the stop mixes the tracks, and there is no live feed.
        if (m_liveConsumer) {
            m_liveConsumer->audioLost();
        }
    }
    // The call is removed from the microphone before it is written, cut off or mixed. The raw
    // microphone is not kept beside it: it would double the largest track for the moments the call
    // talks, since the written track is the raw one bit for bit wherever the call is silent or the
    // canceller fails.
    EchoCanceller::Holding holding {
        [this](const PcmBuffer& buffer, std::uint64_t hostTime) {
            if (!m_heldWriter) {
                m_heldWriter = std::make_unique<TrackWriter>(heldMicrophone(m_folder));
            }
            m_heldWriter->append(buffer, hostTime);
        },
        [this] {
            try {
                if (m_heldWriter) {
                    m_heldWriter->finish();
                }
            } catch (...) {
                // Whatever it holds, the track has it now.
            }
            m_heldWriter.reset();
            QFile::remove(heldMicrophone(m_folder));
        },
    };
    m_echoCanceller = std::make_unique<EchoCanceller>(
        feeding(m_micWriter.get(), m_cutoff.get(), m_liveMix.get(), LiveMix::Input::microphone),
        std::move(holding));

    // The call first, then the microphone. The canceller hears the call as the device gave it:
    // a monitor's times step whenever the sink's latency changes (a stream joins or leaves), and a
    // rate misjudged from them would make the echo it looks for drift.
    try {
        m_systemTap->start(
            feeding(m_systemWriter.get(), m_cutoff.get(), m_liveMix.get(), LiveMix::Input::system),
            [echo = m_echoCanceller.get()](const PcmBuffer& buffer, std::uint64_t hostTime) {
                echo->pushReference(buffer, hostTime);
            });
        m_microphoneInput->start(
            [echo = m_echoCanceller.get()](const PcmBuffer& buffer, std::uint64_t hostTime) {
                echo->pushMicrophone(buffer, hostTime);
            });
    } catch (...) {
        stopInputs();
        m_liveMix.reset();
        discardFailedStart();
        throw;
    }
}

void AudioCapture::discardFailedStart() noexcept
{
    // The call may have delivered a moment of audio before the start failed: its files would pass
    // for a crashed meeting at the next launch. Everything in this fresh folder is this start's
    // own.
    for (TrackWriter* writer : { m_micWriter.get(), m_systemWriter.get() }) {
        try {
            (void)writer->finish();
        } catch (...) { }
    }
    m_reserve->release();
    for (const QString& file :
        { m_microphone, m_system, heldMicrophone(m_folder), TrackStarts::fileIn(m_folder) }) {
        QFile::remove(file);
    }
}

void AudioCapture::stopInputs() noexcept
{
    if (m_microphoneInput) {
        m_microphoneInput->stop();
        keepLosses(*m_microphoneInput, m_losses);
        m_microphoneInput.reset();
    }
    if (m_systemTap) {
        m_systemTap->stop();
        keepLosses(*m_systemTap, m_losses);
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
    // The space held for the mix is given back to it.
    m_reserve->release();

    const auto kept = [](const std::optional<TrackWriter::Finished>& finished) {
        return finished ? std::optional(KeptTrack { finished->start, finished->hasSignal })
                        : std::nullopt;
    };
    const std::optional<std::uint64_t> cut = m_cutoff->instant();
    if (!cut) {
        const std::optional<TrackWriter::Finished> microphoneTrack = m_micWriter->finish();
        const std::optional<TrackWriter::Finished> callTrack = m_systemWriter->finish();
        const std::optional<KeptTrack> microphone = kept(microphoneTrack);
        const std::optional<KeptTrack> call = kept(callTrack);
        m_mixedWhileRecording = finishLiveMix(microphone, call);
        StopResult result = mixKept(m_folder, microphone, call, m_mixedWhileRecording);
        result.interruption = closingSentence(microphoneTrack, callTrack);
        if (microphone && call && !call->hasSignal) {
            result.liveFeedLead = std::max(0.0, microphone->start - call->start);
        }
        return result;
    }
    // The live mix went on past the cut; the tracks, cut back to it, are mixed instead.
    m_liveMix.reset();
    // What reached the disk before the cut is mixed; nothing at all leaves the cut's reason.
    const std::optional<KeptTrack> microphone = kept(m_micWriter->finishAt(*cut));
    const std::optional<KeptTrack> call = kept(m_systemWriter->finishAt(*cut));
    if (!microphone && !(call && call->hasSignal)) {
        throw CaptureError(m_cutoff->interruptedSentence());
    }
    StopResult result = mixKept(m_folder, microphone, call);
    result.interruption = m_cutoff->stoppedSentence();
    return result;
}

bool AudioCapture::finishLiveMix(
    const std::optional<KeptTrack>& microphone, const std::optional<KeptTrack>& call)
{
    const std::unique_ptr<LiveMix> liveMix = std::move(m_liveMix);
    const bool callUsable = call && call->hasSignal;
    return liveMix && (microphone || callUsable)
        && liveMix->finish({ microphone ? std::optional(microphone->start) : std::nullopt,
            callUsable ? std::optional(call->start) : std::nullopt });
}

AudioCapture::StopResult AudioCapture::mixKept(const QString& folder,
    std::optional<KeptTrack> microphone, std::optional<KeptTrack> call, bool mixedAlready)
{
    const QString microphoneFile = folder + QStringLiteral("/microphone.caf");
    const QString systemFile = folder + QStringLiteral("/appel.caf");
    const QString mix = folder + QStringLiteral("/reunion.m4a");
    const bool callUsable = call && call->hasSignal;

    // The mix made while recording, when it kept up; otherwise the tracks are mixed now.
    const bool mixNow = !mixedAlready;

    if (microphone && callUsable) {
        const double base = std::min(microphone->start, call->start);
        Tracks tracks { microphoneFile, systemFile, microphone->start - base, call->start - base };
        if (mixNow) {
            AudioCapture::mix(
                microphoneFile, systemFile, mix, tracks.microphoneOffset, tracks.systemOffset);
        }
        return { mix, std::move(tracks), std::nullopt, std::nullopt };
    }
    if (microphone) {
        if (mixNow) {
            exportAudio({ { microphoneFile, 0 } }, mix);
        }
        return { mix, std::nullopt, AudioPermissionHelp::systemAudioSilent, std::nullopt };
    }
    if (callUsable) {
        if (mixNow) {
            exportAudio({ { systemFile, 0 } }, mix);
        }
        return { mix, std::nullopt, AudioPermissionHelp::microphone, std::nullopt };
    }
    throw AudioPermissionHelp(AudioPermissionHelp::microphone);
}

QString AudioCapture::heldMicrophone(const QString& folder)
{
    return folder + QStringLiteral("/.microphone-held.caf");
}

QString AudioCapture::uploadCopy(const QString& track)
{
    const QFileInfo file(track);
    return file.absolutePath() + QStringLiteral("/.") + file.completeBaseName()
        + QStringLiteral(".m4a");
}
