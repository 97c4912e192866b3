#include "meetingsession.h"

#include "agentworkspacestate.h"
#include "notify.h"
#include "requesterror.h"
#include "usertext.h"

#include <QCoroSignal>
#include <QLocale>
#include <QPointer>
#include <QProcessEnvironment>

namespace {

bool isUnauthorized(std::exception_ptr failure)
{
    try {
        std::rethrow_exception(failure);
    } catch (const RequestError& error) {
        return error.kind() == RequestError::Kind::Unauthorized;
    } catch (...) {
        return false;
    }
}

} // namespace

MeetingSession::MeetingSession(MeetingSessionServices services, QObject* parent)
    : QObject(parent)
    , m_services(std::move(services))
    , m_key(QProcessEnvironment::systemEnvironment().value(QStringLiteral("GLADIA_API_KEY")))
    , m_agent(new AgentWorkspaceState(this))
    , m_status(QStringLiteral("Prêt à enregistrer"))
{
    // Queued: the operation that ends sets its own results first.
    connect(this, &MeetingSession::busyChanged, this, &MeetingSession::offerPendingRecovery,
        Qt::QueuedConnection);
}

MeetingSession::~MeetingSession()
{
    m_capture.reset(); // its threads feed the live transcript
    delete m_live.release();
}

void MeetingSession::setKey(const QString& key)
{
    assignAndNotify(this, m_key, key, &MeetingSession::keyChanged);
}

bool MeetingSession::hasKey() const
{
    return !trimmedUserText(m_key).isEmpty();
}

void MeetingSession::setAgentAccessCode(const QString& code)
{
    assignAndNotify(this, m_agentAccessCode, code, &MeetingSession::agentAccessCodeChanged);
}

const std::optional<AgentAccess>& MeetingSession::agentAccess() const
{
    return m_agentAccess;
}

void MeetingSession::setAgentAccess(std::optional<AgentAccess> access)
{
    m_agentAccess = std::move(access);
    Q_EMIT agentAccessChanged();
}

bool MeetingSession::hasAgentAccess() const
{
    return m_agentAccess.has_value();
}

QString MeetingSession::permissionHelpLabel() const
{
    return m_permissionHelp ? m_permissionHelp->settingsLabel() : QString();
}

void MeetingSession::setNotes(const QString& notes)
{
    assignAndNotify(this, m_notes, notes, &MeetingSession::notesChanged);
}

void MeetingSession::setZoomDetector(const ZoomMeetingDetector& detector)
{
    const bool wasActive = meetingIsActive();
    m_zoomDetector = detector;
    Q_EMIT zoomDetectorChanged();
    if (meetingIsActive() != wasActive) {
        Q_EMIT meetingIsActiveChanged();
    }
}

void MeetingSession::addNotebooks(int delta)
{
    if (delta == 0) {
        return;
    }
    m_notebookCount += delta;
    Q_EMIT notebookCountChanged();
}

bool MeetingSession::meetingIsActive() const
{
    return m_capture != nullptr || m_zoomDetector.inMeeting();
}

QString MeetingSession::liveTranscript() const
{
    return m_live ? m_live->transcript() : QString();
}

QString MeetingSession::livePartial() const
{
    if (!transcribingLive() || !m_live->partial()) {
        return {};
    }
    const Gladia::Segment& partial = *m_live->partial();
    return Gladia::line(
        partial.start, LiveTranscription::label(partial.speaker.value_or(0)), partial.text);
}

QCoro::Task<void> MeetingSession::toggleRecording(ViewActions view)
{
    if (m_capture) {
        return stopRecording(std::move(view), false);
    }
    return startRecording(std::move(view));
}

QCoro::Task<void> MeetingSession::startRecording(ViewActions view)
{
    if (m_busy || m_agent->busy()) {
        co_return;
    }
    setBusy(true);
    // Made before the engine, which feeds it from its threads, so destroyed after it.
    std::unique_ptr<LiveTranscription> live;
    if (view.transcribeLive && hasKey() && m_services.makeLiveTranscription) {
        live = m_services.makeLiveTranscription();
    }
    std::unique_ptr<CaptureEngine> engine = m_services.makeCaptureEngine();
    engine->setLiveConsumer(live.get());
    const CaptureEngine* started = engine.get();
    // Members are destroyed before the QObject, and the engine stops its inputs when destroyed, so
    // no call is posted to a session that is gone.
    engine->setInterruptionHandler([this, started](const QString& sentence) {
        QMetaObject::invokeMethod(
            this, [this, started, sentence] { showInterruption(started, sentence); },
            Qt::QueuedConnection);
    });
    m_starting = started;
    m_startInterruption.clear();
    setPermissionHelp(std::nullopt);
    setStatus(QStringLiteral("Vérification des autorisations…"));

    QPointer<MeetingSession> self(this);
    std::exception_ptr failure;
    try {
        co_await engine->start();
    } catch (...) {
        failure = std::current_exception();
    }
    if (!self) {
        co_return;
    }
    m_starting = nullptr;
    if (failure) {
        reportFailure(failure);
    } else {
        setRecordedTracks(std::nullopt);
        setRecording(std::nullopt);
        setTranscript(QString());
        m_agent->newRecording();
        setLive(std::move(live));
        setCapture(std::move(engine));
        if (m_live) {
            startLive(m_live.get(), view);
        }
        if (!m_startInterruption.isEmpty()) {
            setStatus(m_startInterruption);
        } else {
            setStatus(m_live ? QStringLiteral("Enregistrement en cours · transcription en direct")
                             : QStringLiteral("Enregistrement en cours"));
        }
        if (view.openWindow) {
            view.openWindow(QStringLiteral("meeting"));
        }
    }
    setBusy(false);
}

void MeetingSession::startLive(LiveTranscription* live, const ViewActions& view)
{
    connect(live, &LiveTranscription::linesChanged, this, &MeetingSession::liveTranscriptChanged);
    connect(live, &LiveTranscription::partialChanged, this, &MeetingSession::liveTranscriptChanged);
    connect(live, &LiveTranscription::failed, this, [this, live, view](const QString& sentence) {
        m_liveFailed = true;
        Q_EMIT liveTranscriptChanged();
        // The recording goes on; the stop transcribes it the other way.
        if (m_capture && !m_busy) {
            setStatus(sentence);
        }
        if (isUnauthorized(live->error()) && view.showIntegrations) {
            view.showIntegrations(IntegrationsPage::gladia);
        }
    });
    live->start(trimmedUserText(m_key));
}

QCoro::Task<std::optional<QString>> MeetingSession::finishLive(double feedLead)
{
    if (m_liveFailed) {
        co_return std::nullopt;
    }
    // The stop may end it at once, before any wait could begin.
    QPointer<LiveTranscription> live(m_live.get());
    std::optional<bool> complete;
    const QMetaObject::Connection noted = connect(
        live, &LiveTranscription::finished, this, [&complete](bool whole) { complete = whole; });
    live->stop();
    while (!complete && live) {
        co_await qCoro(live.data(), &LiveTranscription::finished);
    }
    disconnect(noted);
    if (!live || !complete.value_or(false)) {
        co_return std::nullopt;
    }
    co_return live->transcript(feedLead);
}

QCoro::Task<void> MeetingSession::stopRecording(ViewActions view, bool quitting)
{
    if (m_busy) {
        co_return;
    }
    setBusy(true);
    setStatus(QStringLiteral("Préparation du fichier audio…"));

    QPointer<MeetingSession> self(this);
    std::optional<AudioCapture::StopResult> result;
    std::exception_ptr failure;
    try {
        result = co_await m_capture->stop();
    } catch (...) {
        failure = std::current_exception();
    }
    if (!self) {
        co_return;
    }
    if (failure) {
        setCapture(nullptr);
        setLive(nullptr);
        reportFailure(failure);
        setBusy(false);
        co_return;
    }
    setRecording(QUrl::fromLocalFile(result->mix));
    setRecordedTracks(result->tracks);
    setPermissionHelp(result->help);
    QString status = withLossNote(result->help
            ? QStringLiteral("Une piste a été conservée. ") + result->help->errorDescription()
            : QStringLiteral("Enregistrement prêt · micro et audio système"),
        result->losses);
    if (result->interruption) {
        status += (status.endsWith(u'.') ? QStringLiteral(" ") : QStringLiteral(". "))
            + *result->interruption;
    }
    setStatus(status);
    setCapture(nullptr);
    // The live transcript, complete, is the transcript; otherwise the recording is sent.
    bool transcribeNow = false;
    if (m_live && !quitting) {
        const std::optional<QString> text = co_await finishLive(result->liveFeedLead);
        if (!self) {
            co_return;
        }
        if (text) {
            setTranscript(*text);
            setStatus(QStringLiteral("Transcription prête"));
        } else {
            // What did come live stays, should the whole transcription fail too.
            setTranscript(m_live ? m_live->transcript(result->liveFeedLead) : QString());
        }
        transcribeNow = !text;
    }
    setLive(nullptr);
    setBusy(false);
    if (transcribeNow) {
        co_await transcribe(std::move(view));
    }
}

QCoro::Task<void> MeetingSession::transcribe(ViewActions view)
{
    if (m_busy || !m_recording) {
        co_return;
    }
    if (!hasKey()) {
        if (view.showIntegrations) {
            view.showIntegrations(IntegrationsPage::transcribe);
        }
        co_return;
    }
    setBusy(true);
    const QString previous = m_transcript; // kept if this one fails
    setTranscript(QString());
    setStatus(QStringLiteral("Envoi et transcription en cours…"));
    const QUrl recording = *m_recording;
    const std::optional<AudioCapture::Tracks> tracks = m_recordedTracks;
    std::unique_ptr<Transcriber> transcriber = m_services.makeTranscriber(trimmedUserText(m_key));

    QPointer<MeetingSession> self(this);
    QString text;
    std::exception_ptr failure;
    try {
        // No co_await inside ?: — GCC 12 evaluates both operands.
        if (tracks) {
            text = co_await transcriber->transcribe(*tracks);
        } else {
            text = co_await transcriber->transcribe(recording);
        }
    } catch (...) {
        failure = std::current_exception();
    }
    if (!self) {
        co_return;
    }
    if (failure) {
        setTranscript(previous);
        setStatus(describeError(failure));
        if (isUnauthorized(failure) && view.showIntegrations) {
            view.showIntegrations(IntegrationsPage::transcribe);
        }
    } else {
        setTranscript(text);
        setStatus(QStringLiteral("Transcription prête"));
    }
    setBusy(false);
}

bool MeetingSession::beginOpenRecording()
{
    if (m_busy || m_agent->busy() || m_capture) {
        return false;
    }
    setBusy(true);
    return true;
}

void MeetingSession::finishOpenRecording(const QUrl& file)
{
    setBusy(false);
    if (file.isEmpty()) {
        return;
    }
    setRecordedTracks(std::nullopt);
    setRecording(file);
    setTranscript(QString());
    m_agent->newRecording();
    setPermissionHelp(std::nullopt);
    setStatus(QStringLiteral("Fichier audio prêt"));
}

QCoro::Task<void> MeetingSession::recoverInterruptedRecording()
{
    QPointer<MeetingSession> self(this);
    std::optional<RecordingRecovery::Recovered> recovered;
    try {
        recovered = co_await RecordingRecovery::recoverLatestInBackground();
    } catch (...) {
        // Left on disk, untouched, for the next launch.
    }
    if (self && recovered && !offerRecovered(*recovered)) {
        m_pendingRecovery = std::move(recovered);
    }
}

void MeetingSession::offerPendingRecovery()
{
    if (m_pendingRecovery && offerRecovered(*m_pendingRecovery)) {
        m_pendingRecovery.reset();
    }
}

bool MeetingSession::offerRecovered(const RecordingRecovery::Recovered& recovered)
{
    if (m_busy || m_agent->busy() || m_capture || m_recording) {
        return false;
    }
    RecordingRecovery::markOpened(recovered.folder);
    setRecordedTracks(recovered.result.tracks);
    setRecording(QUrl::fromLocalFile(recovered.result.mix));
    setTranscript(QString());
    m_agent->newRecording();
    setPermissionHelp(std::nullopt);
    const QLocale french(QLocale::French, QLocale::France);
    setStatus(
        QStringLiteral("Enregistrement interrompu du %1 récupéré : il est prêt.")
            .arg(french.toString(recovered.lastWritten, QStringLiteral("d MMMM yyyy 'à' HH:mm"))));
    return true;
}

QCoro::Task<void> MeetingSession::finishForQuit()
{
    // A transcription or a file choice is simply dropped; a recording, or one being started or
    // stopped, is seen through to its mix.
    QPointer<MeetingSession> self(this);
    while (self && (m_capture || m_starting)) {
        if (m_busy) {
            co_await qCoro(this, &MeetingSession::busyChanged);
        } else {
            co_await stopRecording(ViewActions {}, true);
        }
    }
}

void MeetingSession::showInterruption(const CaptureEngine* engine, const QString& sentence)
{
    if (engine == m_starting) {
        m_startInterruption = sentence;
    } else if (engine == m_capture.get() && !m_busy) {
        setStatus(sentence);
    }
}

void MeetingSession::reportFailure(std::exception_ptr failure)
{
    try {
        std::rethrow_exception(failure);
    } catch (const AudioPermissionHelp& help) {
        setPermissionHelp(help);
        setStatus(help.errorDescription());
    } catch (...) {
        setStatus(describeError(failure));
    }
}

void MeetingSession::setBusy(bool busy)
{
    assignAndNotify(this, m_busy, busy, &MeetingSession::busyChanged);
}

void MeetingSession::setStatus(const QString& status)
{
    assignAndNotify(this, m_status, status, &MeetingSession::statusChanged);
}

void MeetingSession::setRecording(std::optional<QUrl> recording)
{
    assignAndNotify(this, m_recording, recording, &MeetingSession::recordingChanged);
}

void MeetingSession::setRecordedTracks(std::optional<AudioCapture::Tracks> tracks)
{
    assignAndNotify(this, m_recordedTracks, tracks, &MeetingSession::recordedTracksChanged);
}

void MeetingSession::setPermissionHelp(std::optional<AudioPermissionHelp> help)
{
    assignAndNotify(this, m_permissionHelp, help, &MeetingSession::permissionHelpChanged);
}

void MeetingSession::setTranscript(const QString& transcript)
{
    assignAndNotify(this, m_transcript, transcript, &MeetingSession::transcriptChanged);
}

void MeetingSession::setLive(std::unique_ptr<LiveTranscription> live)
{
    if (!m_live && !live) {
        return;
    }
    m_live.reset(live.release());
    m_liveFailed = false;
    Q_EMIT liveTranscriptChanged();
}

void MeetingSession::setCapture(std::unique_ptr<CaptureEngine> capture)
{
    const bool wasActive = meetingIsActive();
    const bool hadCapture = m_capture != nullptr;
    m_capture = std::move(capture);
    if (hadCapture != (m_capture != nullptr)) {
        Q_EMIT captureChanged();
    }
    if (meetingIsActive() != wasActive) {
        Q_EMIT meetingIsActiveChanged();
    }
}
