#pragma once

#include "appsettings.h"
#include "integrationsrequest.h"
#include "meetingsession.h"
#include "windowregistry.h"

#include <QObject>
#include <QPointer>
#include <QQmlParserStatus>
#include <QStringList>
#include <QTimer>
#include <QUrl>
#include <QVariant>
#include <QtQmlIntegration>
#include <functional>
#include <optional>

// Where the Zoom polling loop reads the Zoom client's window titles; the real reader by default.
using ZoomTitleSource = std::function<std::optional<QStringList>()>;

// The state and rules of one notebook view (or of the meeting window's view): its own tab, sheets
// and pending integrations request, every shown/enabled rule of its controls, and the operations
// its controls run on the shared session. A notebook view also counts itself in the session while
// on screen, polls the Zoom client when asked to, and takes application links.
class CaptureViewModel : public QObject, public QQmlParserStatus
{
    Q_OBJECT
    QML_ELEMENT
    Q_INTERFACES(QQmlParserStatus)

    Q_PROPERTY(WindowRegistry* windows READ windows WRITE setWindows NOTIFY windowsChanged)
    Q_PROPERTY(MeetingSession* session READ session NOTIFY windowsChanged)
    Q_PROPERTY(AppSettings* settings READ settings NOTIFY windowsChanged)
    Q_PROPERTY(bool isMeetingWindow READ isMeetingWindow WRITE setIsMeetingWindow NOTIFY
            isMeetingWindowChanged)
    Q_PROPERTY(bool windowShown READ windowShown WRITE setWindowShown NOTIFY windowShownChanged)
    Q_PROPERTY(QString tab READ tab WRITE setTab NOTIFY tabChanged)
    Q_PROPERTY(bool showingSettings READ showingSettings WRITE setShowingSettings NOTIFY
            showingSettingsChanged)
    Q_PROPERTY(
        bool hasIntegrationsRequest READ hasIntegrationsRequest NOTIFY integrationsRequestChanged)
    Q_PROPERTY(QString integrationsPage READ integrationsPage NOTIFY integrationsRequestChanged)
    Q_PROPERTY(QString suggestedServer READ suggestedServer NOTIFY integrationsRequestChanged)
    Q_PROPERTY(QVariant integrationsRequest READ integrationsRequestValue NOTIFY
            integrationsRequestChanged)

    Q_PROPERTY(QString overline READ overline NOTIFY isMeetingWindowChanged)
    Q_PROPERTY(QString title READ title NOTIFY isMeetingWindowChanged)
    Q_PROPERTY(bool showTabs READ showTabs NOTIFY stateChanged)
    Q_PROPERTY(bool showAgentPage READ showAgentPage NOTIFY stateChanged)
    Q_PROPERTY(bool headerEnabled READ headerEnabled NOTIFY stateChanged)
    Q_PROPERTY(bool showFirstRunCard READ showFirstRunCard NOTIFY stateChanged)
    Q_PROPERTY(bool showPendingTranscriptLine READ showPendingTranscriptLine NOTIFY stateChanged)
    Q_PROPERTY(bool showTranscript READ showTranscript NOTIFY stateChanged)
    Q_PROPERTY(QString pendingTranscriptText READ pendingTranscriptText NOTIFY stateChanged)
    Q_PROPERTY(QString transcriptText READ transcriptText NOTIFY stateChanged)
    Q_PROPERTY(QString partialLine READ partialLine NOTIFY stateChanged)
    Q_PROPERTY(bool showSpinner READ showSpinner NOTIFY stateChanged)
    Q_PROPERTY(bool recordingDot READ recordingDot NOTIFY stateChanged)
    Q_PROPERTY(bool showPermissionButton READ showPermissionButton NOTIFY stateChanged)
    Q_PROPERTY(bool actionRowEnabled READ actionRowEnabled NOTIFY stateChanged)
    Q_PROPERTY(bool showListen READ showListen NOTIFY stateChanged)
    Q_PROPERTY(bool showTranscribe READ showTranscribe NOTIFY stateChanged)
    Q_PROPERTY(bool showStop READ showStop NOTIFY stateChanged)
    Q_PROPERTY(bool showRecord READ showRecord NOTIFY stateChanged)
    Q_PROPERTY(bool recordEnabled READ recordEnabled NOTIFY stateChanged)
    Q_PROPERTY(bool showShowMeeting READ showShowMeeting NOTIFY stateChanged)
    Q_PROPERTY(bool showOpenRecording READ showOpenRecording NOTIFY stateChanged)
    Q_PROPERTY(bool showNewRecording READ showNewRecording NOTIFY stateChanged)
    Q_PROPERTY(bool toolbarActionsEnabled READ toolbarActionsEnabled NOTIFY stateChanged)
    Q_PROPERTY(QVariant agentAccess READ agentAccess NOTIFY stateChanged)

public:
    explicit CaptureViewModel(QObject* parent = nullptr);
    ~CaptureViewModel() override;

    [[nodiscard]] WindowRegistry* windows() const { return m_windows; }
    void setWindows(WindowRegistry* windows);
    [[nodiscard]] MeetingSession* session() const;
    [[nodiscard]] AppSettings* settings() const;
    [[nodiscard]] bool isMeetingWindow() const { return m_isMeetingWindow; }
    void setIsMeetingWindow(bool isMeetingWindow);
    // Whether the view's window is on screen; a notebook view counts itself while it is.
    [[nodiscard]] bool windowShown() const { return m_windowShown; }
    void setWindowShown(bool shown);
    // "transcription" or "agent".
    [[nodiscard]] QString tab() const { return m_tab; }
    void setTab(const QString& tab);
    [[nodiscard]] bool showingSettings() const { return m_showingSettings; }
    void setShowingSettings(bool showing);
    [[nodiscard]] bool hasIntegrationsRequest() const { return m_request.has_value(); }
    // The pending request's page name ("catalog", "agent", "prepare", "gladia", "transcribe").
    [[nodiscard]] QString integrationsPage() const;
    // The pending request's proposed team site, or empty.
    [[nodiscard]] QString suggestedServer() const;
    // The pending request as a { id, page, suggestedServer } map, or an invalid value.
    [[nodiscard]] QVariant integrationsRequestValue() const;
    [[nodiscard]] const std::optional<IntegrationsRequest>& integrationsRequest() const
    {
        return m_request;
    }

    [[nodiscard]] QString overline() const;
    [[nodiscard]] QString title() const;
    [[nodiscard]] bool showTabs() const;
    [[nodiscard]] bool showAgentPage() const;
    [[nodiscard]] bool headerEnabled() const;
    [[nodiscard]] bool showFirstRunCard() const;
    [[nodiscard]] bool showPendingTranscriptLine() const;
    [[nodiscard]] bool showTranscript() const;
    [[nodiscard]] QString pendingTranscriptText() const;
    // The transcript, or while the meeting is transcribed live, its final lines.
    [[nodiscard]] QString transcriptText() const;
    // The newest live line, not final yet; empty when there is none.
    [[nodiscard]] QString partialLine() const;
    [[nodiscard]] bool showSpinner() const;
    [[nodiscard]] bool recordingDot() const;
    [[nodiscard]] bool showPermissionButton() const;
    [[nodiscard]] bool actionRowEnabled() const;
    [[nodiscard]] bool showListen() const;
    [[nodiscard]] bool showTranscribe() const;
    [[nodiscard]] bool showStop() const;
    [[nodiscard]] bool showRecord() const;
    [[nodiscard]] bool recordEnabled() const;
    [[nodiscard]] bool showShowMeeting() const;
    [[nodiscard]] bool showOpenRecording() const;
    [[nodiscard]] bool showNewRecording() const;
    [[nodiscard]] bool toolbarActionsEnabled() const;
    // The granted team access as an AgentAccess value, or an invalid value.
    [[nodiscard]] QVariant agentAccess() const;

    // "Enregistrer", "Arrêter", "Nouvel enregistrement".
    Q_INVOKABLE void toggleRecording();
    // "Transcrire", and the integrations page's transcription.
    Q_INVOKABLE void transcribe();
    // Before the file chooser opens: false when the session refuses.
    Q_INVOKABLE bool beginOpenRecording();
    // The file chooser closed with a file, or an empty address when cancelled.
    Q_INVOKABLE void finishOpenRecording(const QUrl& file);
    // Presents the integrations page at a page name.
    Q_INVOKABLE void showIntegrations(const QString& page);
    // The integrations sheet was dismissed.
    Q_INVOKABLE void dismissIntegrations();
    // The live transcript switch of the settings; turned on without a key, the key form opens.
    Q_INVOKABLE void setLiveTranscription(bool live);
    // "Copier": the transcript as plain text on the clipboard.
    Q_INVOKABLE void copyTranscript() const;
    // "Écouter": the recording in its default application.
    Q_INVOKABLE void listen() const;
    // "Voir les pistes": the recording selected in the file manager, or its folder.
    Q_INVOKABLE void revealTracks() const;
    // The settings page of the current permission problem.
    Q_INVOKABLE void openPermissionSettings() const;
    // "microphone", "systemAudio" or "accessibility".
    Q_INVOKABLE void openSettings(const QString& page) const;
    // "Continuer sans compte".
    Q_INVOKABLE void continueAsGuest();
    // "Voir les intégrations" on the first-run card.
    Q_INVOKABLE void seeIntegrations();
    // "Afficher la réunion".
    Q_INVOKABLE void showMeeting();
    // "Nouvelle fenêtre".
    Q_INVOKABLE void newWindow();
    // An application link reached this view's window; true when it was taken.
    Q_INVOKABLE bool handleLink(const QUrl& link);

    // Replaces the reader of the Zoom client's window titles for every view (tests).
    static void setZoomTitleSource(ZoomTitleSource source);

    void classBegin() override { }
    void componentComplete() override;

Q_SIGNALS:
    void windowsChanged();
    void isMeetingWindowChanged();
    void windowShownChanged();
    void tabChanged();
    void showingSettingsChanged();
    void integrationsRequestChanged();
    // Any input of the derived rules changed.
    void stateChanged();

private:
    void connectSources();
    void updateCounted();
    void restartZoomLoop();
    void pollZoom(int generation);
    void setRequest(std::optional<IntegrationsRequest> request);
    [[nodiscard]] ViewActions makeActions();

    QPointer<WindowRegistry> m_windows;
    bool m_isMeetingWindow = false;
    bool m_windowShown = false;
    bool m_completed = false;
    bool m_counted = false;
    bool m_choosingFile = false;
    QString m_tab = QStringLiteral("transcription");
    bool m_showingSettings = false;
    std::optional<IntegrationsRequest> m_request;
    int m_zoomGeneration = 0;
    QTimer m_zoomWait;
};
