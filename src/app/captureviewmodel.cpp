#include "captureviewmodel.h"

#include "agentrecords.h"
#include "agentworkspacestate.h"
#include "appsettings.h"
#include "meetingsession.h"
#include "settingspage.h"
#include "windowregistry.h"
#include "zoommeetingdetector.h"

#include <QClipboard>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDesktopServices>
#include <QFileInfo>
#include <QFuture>
#include <QGuiApplication>
#include <QtConcurrent>
#include <array>
#include <utility>

namespace {

constexpr int zoomPollMilliseconds = 2000;

ZoomTitleSource& zoomTitleSource()
{
    static ZoomTitleSource source = [] {
        return ZoomMeetingDetector::windowTitles();
    };
    return source;
}

constexpr std::array<std::pair<IntegrationsPage, const char*>, 5> pageNames { {
    { IntegrationsPage::catalog, "catalog" },
    { IntegrationsPage::agent, "agent" },
    { IntegrationsPage::prepare, "prepare" },
    { IntegrationsPage::gladia, "gladia" },
    { IntegrationsPage::transcribe, "transcribe" },
} };

QString pageName(IntegrationsPage page)
{
    for (const auto& [value, name] : pageNames) {
        if (value == page) {
            return QString::fromLatin1(name);
        }
    }
    return {};
}

std::optional<IntegrationsPage> pageNamed(const QString& name)
{
    for (const auto& [value, text] : pageNames) {
        if (name == QLatin1String(text)) {
            return value;
        }
    }
    return std::nullopt;
}

} // namespace

CaptureViewModel::CaptureViewModel(QObject* parent)
    : QObject(parent)
{
    m_zoomWait.setSingleShot(true);
    // A precise timer runs on the monotonic clock without coalescing.
    m_zoomWait.setTimerType(Qt::PreciseTimer);
    m_zoomWait.setInterval(zoomPollMilliseconds);
}

CaptureViewModel::~CaptureViewModel()
{
    ++m_zoomGeneration;
    // A file chooser closed with its window answers nothing: the session must not stay busy.
    if (m_choosingFile && session()) {
        session()->finishOpenRecording(QUrl());
    }
    if (m_counted && session()) {
        session()->addNotebooks(-1);
    }
}

void CaptureViewModel::setWindows(WindowRegistry* windows)
{
    if (m_windows == windows) {
        return;
    }
    m_windows = windows;
    Q_EMIT windowsChanged();
    if (m_completed) {
        connectSources();
    }
}

MeetingSession* CaptureViewModel::session() const
{
    return m_windows ? m_windows->session() : nullptr;
}

AppSettings* CaptureViewModel::settings() const
{
    return m_windows ? m_windows->settings() : nullptr;
}

void CaptureViewModel::setIsMeetingWindow(bool isMeetingWindow)
{
    if (m_isMeetingWindow == isMeetingWindow) {
        return;
    }
    m_isMeetingWindow = isMeetingWindow;
    Q_EMIT isMeetingWindowChanged();
    Q_EMIT stateChanged();
}

void CaptureViewModel::setWindowShown(bool shown)
{
    if (m_windowShown == shown) {
        return;
    }
    m_windowShown = shown;
    Q_EMIT windowShownChanged();
    if (m_completed) {
        updateCounted();
        restartZoomLoop();
    }
}

void CaptureViewModel::setTab(const QString& tab)
{
    if (m_tab == tab) {
        return;
    }
    m_tab = tab;
    Q_EMIT tabChanged();
    Q_EMIT stateChanged();
}

void CaptureViewModel::setShowingSettings(bool showing)
{
    if (m_showingSettings == showing) {
        return;
    }
    m_showingSettings = showing;
    Q_EMIT showingSettingsChanged();
}

QString CaptureViewModel::integrationsPage() const
{
    return m_request ? pageName(m_request->page()) : QString();
}

QString CaptureViewModel::suggestedServer() const
{
    return m_request && m_request->suggestedServer()
        ? m_request->suggestedServer()->toString(QUrl::FullyEncoded)
        : QString();
}

QVariant CaptureViewModel::integrationsRequestValue() const
{
    if (!m_request) {
        return {};
    }
    return QVariantMap {
        { QStringLiteral("id"), m_request->id().toString(QUuid::WithoutBraces) },
        { QStringLiteral("page"), integrationsPage() },
        { QStringLiteral("suggestedServer"), suggestedServer() },
    };
}

QString CaptureViewModel::overline() const
{
    return m_isMeetingWindow ? QStringLiteral("PENDANT ET APRÈS L’APPEL")
                             : QStringLiteral("CARNET DE RÉUNION POUR LINUX");
}

QString CaptureViewModel::title() const
{
    return m_isMeetingWindow ? QStringLiteral("Le fil de la réunion.")
                             : QStringLiteral("Chaque décision compte.");
}

bool CaptureViewModel::showTabs() const
{
    return m_isMeetingWindow || (session() && session()->hasRecording());
}

bool CaptureViewModel::showAgentPage() const
{
    return showTabs() && m_tab == QLatin1String("agent");
}

bool CaptureViewModel::headerEnabled() const
{
    return session() && !session()->agent()->busy();
}

bool CaptureViewModel::showFirstRunCard() const
{
    return session() && settings() && !m_isMeetingWindow && !settings()->seenGuestIntro()
        && !session()->hasRecording() && !session()->hasAgentAccess();
}

bool CaptureViewModel::showPendingTranscriptLine() const
{
    return m_isMeetingWindow && session() && !showTranscript();
}

bool CaptureViewModel::showTranscript() const
{
    return !transcriptText().isEmpty() || !partialLine().isEmpty();
}

QString CaptureViewModel::pendingTranscriptText() const
{
    return session() && session()->transcribingLive()
        ? QStringLiteral("La transcription s’affiche ici pendant la réunion.")
        : QStringLiteral("La transcription sera disponible après l’arrêt de l’enregistrement et "
                         "l’envoi à Gladia.");
}

QString CaptureViewModel::transcriptText() const
{
    if (!session()) {
        return {};
    }
    return session()->transcript().isEmpty() ? session()->liveTranscript()
                                             : session()->transcript();
}

QString CaptureViewModel::partialLine() const
{
    return session() && session()->transcript().isEmpty() ? session()->livePartial() : QString();
}

bool CaptureViewModel::showSpinner() const
{
    return session() && session()->busy();
}

bool CaptureViewModel::recordingDot() const
{
    return session() && session()->capturing();
}

bool CaptureViewModel::showPermissionButton() const
{
    return session() && session()->hasPermissionHelp() && !session()->busy();
}

bool CaptureViewModel::actionRowEnabled() const
{
    return session() && !session()->busy();
}

bool CaptureViewModel::showListen() const
{
    return session() && session()->hasRecording() && !session()->capturing();
}

bool CaptureViewModel::showTranscribe() const
{
    return session() && session()->hasRecording();
}

bool CaptureViewModel::showStop() const
{
    return session() && !session()->hasRecording() && session()->capturing();
}

bool CaptureViewModel::showRecord() const
{
    return session() && !session()->hasRecording() && !session()->capturing();
}

bool CaptureViewModel::recordEnabled() const
{
    return session() && !session()->agent()->busy();
}

bool CaptureViewModel::showShowMeeting() const
{
    return !m_isMeetingWindow && session() && session()->meetingIsActive();
}

bool CaptureViewModel::showOpenRecording() const
{
    return !m_isMeetingWindow && session() && !session()->capturing();
}

bool CaptureViewModel::showNewRecording() const
{
    return session() && session()->hasRecording() && !session()->capturing();
}

bool CaptureViewModel::toolbarActionsEnabled() const
{
    return session() && !session()->busy() && !session()->agent()->busy();
}

QVariant CaptureViewModel::agentAccess() const
{
    if (!session() || !session()->agentAccess()) {
        return {};
    }
    return QVariant::fromValue(*session()->agentAccess());
}

void CaptureViewModel::toggleRecording()
{
    if (session()) {
        session()->toggleRecording(makeActions());
    }
}

void CaptureViewModel::transcribe()
{
    if (session()) {
        session()->transcribe(makeActions());
    }
}

bool CaptureViewModel::beginOpenRecording()
{
    m_choosingFile = session() && session()->beginOpenRecording();
    return m_choosingFile;
}

void CaptureViewModel::finishOpenRecording(const QUrl& file)
{
    if (!m_choosingFile || !session()) {
        return;
    }
    m_choosingFile = false;
    session()->finishOpenRecording(file);
    // Only the notebook that opened the file returns to its transcript.
    if (!file.isEmpty()) {
        setTab(QStringLiteral("transcription"));
    }
}

void CaptureViewModel::showIntegrations(const QString& page)
{
    if (const std::optional<IntegrationsPage> value = pageNamed(page)) {
        setRequest(IntegrationsRequest(*value));
    }
}

void CaptureViewModel::dismissIntegrations()
{
    setRequest(std::nullopt);
}

void CaptureViewModel::copyTranscript() const
{
    if (!session()) {
        return;
    }
    QClipboard* clipboard = QGuiApplication::clipboard();
    clipboard->clear();
    clipboard->setText(transcriptText());
}

void CaptureViewModel::setLiveTranscription(bool live)
{
    if (!settings()) {
        return;
    }
    settings()->setLiveTranscription(live);
    if (live && session() && !session()->hasKey()) {
        // One sheet at a time: the key form takes the settings' place.
        setShowingSettings(false);
        showIntegrations(QStringLiteral("gladia"));
    }
}

void CaptureViewModel::listen() const
{
    if (session() && session()->hasRecording()) {
        QDesktopServices::openUrl(session()->recording());
    }
}

void CaptureViewModel::revealTracks() const
{
    if (!session() || !session()->hasRecording()) {
        return;
    }
    const QUrl file = session()->recording();
    const QUrl folder = QUrl::fromLocalFile(QFileInfo(file.toLocalFile()).absolutePath());
    QDBusMessage call
        = QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.FileManager1"),
            QStringLiteral("/org/freedesktop/FileManager1"),
            QStringLiteral("org.freedesktop.FileManager1"), QStringLiteral("ShowItems"));
    call << QStringList { file.toString(QUrl::FullyEncoded) } << QString();
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        QDesktopServices::openUrl(folder);
        return;
    }
    // No file manager answers on the bus: open the folder instead.
    auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(call), QGuiApplication::instance());
    connect(watcher, &QDBusPendingCallWatcher::finished, watcher,
        [folder](QDBusPendingCallWatcher* finished) {
            if (finished->isError()) {
                QDesktopServices::openUrl(folder);
            }
            finished->deleteLater();
        });
}

void CaptureViewModel::openPermissionSettings() const
{
    if (session() && session()->permissionHelp()) {
        openSettingsPage(session()->permissionHelp()->settingsPage());
    }
}

void CaptureViewModel::openSettings(const QString& page) const
{
    if (page == QLatin1String("microphone")) {
        openSettingsPage(AudioPermissionHelp(AudioPermissionHelp::microphone).settingsPage());
    } else if (page == QLatin1String("systemAudio")) {
        openSettingsPage(AudioPermissionHelp(AudioPermissionHelp::systemAudio).settingsPage());
    } else if (page == QLatin1String("accessibility")) {
        openSettingsPage(SettingsPage::Accessibility);
    }
}

void CaptureViewModel::continueAsGuest()
{
    if (settings()) {
        settings()->setSeenGuestIntro(true);
    }
}

void CaptureViewModel::seeIntegrations()
{
    continueAsGuest();
    showIntegrations(QStringLiteral("catalog"));
}

void CaptureViewModel::showMeeting()
{
    if (m_windows) {
        m_windows->openWindow(QStringLiteral("meeting"));
    }
}

void CaptureViewModel::newWindow()
{
    if (m_windows) {
        m_windows->openWindow(QStringLiteral("notebook"));
    }
}

bool CaptureViewModel::handleLink(const QUrl& link)
{
    if (m_isMeetingWindow || m_showingSettings || m_request) {
        return false;
    }
    std::optional<IntegrationsRequest> request = IntegrationsRequest::fromLink(link);
    if (!request) {
        return false;
    }
    setRequest(std::move(request));
    return true;
}

void CaptureViewModel::setZoomTitleSource(ZoomTitleSource source)
{
    zoomTitleSource() = std::move(source);
}

void CaptureViewModel::componentComplete()
{
    m_completed = true;
    connectSources();
}

void CaptureViewModel::connectSources()
{
    MeetingSession* meeting = session();
    if (!meeting) {
        return;
    }
    const auto changed = [this] {
        Q_EMIT stateChanged();
    };
    for (auto signal : { &MeetingSession::captureChanged, &MeetingSession::recordingChanged,
             &MeetingSession::busyChanged, &MeetingSession::permissionHelpChanged,
             &MeetingSession::transcriptChanged, &MeetingSession::liveTranscriptChanged,
             &MeetingSession::agentAccessChanged, &MeetingSession::meetingIsActiveChanged }) {
        connect(meeting, signal, this, changed);
    }
    connect(meeting->agent(), &AgentWorkspaceState::busyChanged, this, changed);
    connect(settings(), &AppSettings::seenGuestIntroChanged, this, changed);
    connect(settings(), &AppSettings::detectZoomMeetingsChanged, this,
        &CaptureViewModel::restartZoomLoop);
    connect(&m_zoomWait, &QTimer::timeout, this, [this] { pollZoom(m_zoomGeneration); });
    Q_EMIT stateChanged();
    updateCounted();
    restartZoomLoop();
}

void CaptureViewModel::updateCounted()
{
    const bool count = m_windowShown && !m_isMeetingWindow && session();
    if (count == m_counted) {
        return;
    }
    m_counted = count;
    session()->addNotebooks(count ? 1 : -1);
}

void CaptureViewModel::restartZoomLoop()
{
    ++m_zoomGeneration;
    m_zoomWait.stop();
    if (m_isMeetingWindow || !m_windowShown || !session()) {
        return;
    }
    session()->setZoomDetector(ZoomMeetingDetector());
    if (!settings()->detectZoomMeetings()) {
        return;
    }
    pollZoom(m_zoomGeneration);
}

void CaptureViewModel::pollZoom(int generation)
{
    // Reading the titles may take up to a quarter of a second: off the main thread, so the
    // window stays responsive; the result is applied here, unless the loop was restarted.
    QtConcurrent::run(zoomTitleSource())
        .then(this, [this, generation](const std::optional<QStringList>& titles) {
            if (generation != m_zoomGeneration || !session()) {
                return;
            }
            ZoomMeetingDetector detector = session()->zoomDetector();
            const bool started = detector.observe(titles);
            session()->setZoomDetector(detector);
            if (started) {
                showMeeting();
            }
            m_zoomWait.start();
        });
}

void CaptureViewModel::setRequest(std::optional<IntegrationsRequest> request)
{
    // Dismissing twice (the sheet's own close after the request went) changes nothing.
    if (!m_request && !request) {
        return;
    }
    m_request = std::move(request);
    Q_EMIT integrationsRequestChanged();
}

ViewActions CaptureViewModel::makeActions()
{
    // The window opens even when this view has gone meanwhile; the request needs the view.
    QPointer<CaptureViewModel> self(this);
    QPointer<WindowRegistry> windows(m_windows);
    const bool live = settings() && settings()->liveTranscription();
    return {
        [self](IntegrationsPage page) {
            if (self) {
                self->setRequest(IntegrationsRequest(page));
            }
        },
        [windows](const QString& window) {
            if (windows) {
                windows->openWindow(window);
            }
        },
        live,
    };
}
