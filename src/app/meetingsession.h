#pragma once

#include "agentworkspacestate.h"
#include "audiocapture.h"
#include "audiopermissionhelp.h"
#include "deletelater.h"
#include "integrationsrequest.h"
#include "integrationssession.h"
#include "livetranscription.h"
#include "track/recordingrecovery.h"
#include "zoommeetingdetector.h"

#include <QObject>
#include <QPointer>
#include <QString>
#include <QUrl>
#include <QVariant>
#include <QtQmlIntegration>
#include <functional>
#include <memory>
#include <optional>

// The capture engine as the session uses it: one recording, started then stopped.
class CaptureEngine
{
public:
    virtual ~CaptureEngine() = default;
    virtual QCoro::Task<void> start() = 0;
    virtual QCoro::Task<AudioCapture::StopResult> stop() = 0;
    // Told, from any thread, that the disk stopped taking the recording (a French sentence).
    virtual void setInterruptionHandler(std::function<void(const QString& sentence)> handler)
    {
        (void)handler;
    }
    // Hands the recording to `consumer` as it is made. Set before start().
    virtual void setLiveConsumer(LiveAudioConsumer* consumer) { (void)consumer; }
};

// The transcription service as the session uses it; each returns the transcript text.
class Transcriber
{
public:
    virtual ~Transcriber() = default;
    virtual QCoro::Task<QString> transcribe(AudioCapture::Tracks tracks) = 0;
    virtual QCoro::Task<QString> transcribe(QUrl recording) = 0;
};

// Where the session gets its engines and clients; the defaults are the real ones.
struct MeetingSessionServices
{
    std::function<std::unique_ptr<CaptureEngine>()> makeCaptureEngine;
    std::function<std::unique_ptr<Transcriber>(const QString& key)> makeTranscriber;
    std::function<std::unique_ptr<LiveTranscription>()> makeLiveTranscription;

    [[nodiscard]] static MeetingSessionServices real();
};

// What the view that runs an operation lends it: presenting the integrations sheet in that view,
// opening a window by identifier ("notebook", "meeting"), and whether the settings ask for the
// transcript while recording.
struct ViewActions
{
    std::function<void(IntegrationsPage)> showIntegrations;
    std::function<void(const QString& window)> openWindow;
    bool transcribeLive = false;
};

// The one model of a run: the recording, the transcript, the notes, the keys and the agent state,
// and the record → stop → transcribe workflow with its status line.
class MeetingSession : public QObject, public IntegrationsSession
{
    Q_OBJECT
    Q_INTERFACES(IntegrationsSession)
    QML_ELEMENT
    QML_UNCREATABLE("The session is made once by the application.")

    Q_PROPERTY(bool capturing READ capturing NOTIFY captureChanged)
    Q_PROPERTY(QUrl recording READ recording NOTIFY recordingChanged)
    Q_PROPERTY(bool hasRecording READ hasRecording NOTIFY recordingChanged)
    Q_PROPERTY(bool hasRecordedTracks READ hasRecordedTracks NOTIFY recordedTracksChanged)
    Q_PROPERTY(bool busy READ busy NOTIFY busyChanged)
    Q_PROPERTY(QString key READ key WRITE setKey NOTIFY keyChanged)
    Q_PROPERTY(bool hasKey READ hasKey NOTIFY keyChanged)
    Q_PROPERTY(QString agentAccessCode READ agentAccessCode WRITE setAgentAccessCode NOTIFY
            agentAccessCodeChanged)
    Q_PROPERTY(bool hasAgentAccess READ hasAgentAccess NOTIFY agentAccessChanged)
    // The granted AgentAccess, or undefined: what the agent page takes as its access.
    Q_PROPERTY(QVariant agentAccess READ agentAccessValue NOTIFY agentAccessChanged)
    Q_PROPERTY(AgentWorkspaceState* agent READ agent CONSTANT)
    Q_PROPERTY(QString status READ status NOTIFY statusChanged)
    Q_PROPERTY(bool hasPermissionHelp READ hasPermissionHelp NOTIFY permissionHelpChanged)
    Q_PROPERTY(QString permissionHelpLabel READ permissionHelpLabel NOTIFY permissionHelpChanged)
    Q_PROPERTY(QString transcript READ transcript NOTIFY transcriptChanged)
    // While a live transcript runs: its final lines, and the newest line not final yet.
    Q_PROPERTY(QString liveTranscript READ liveTranscript NOTIFY liveTranscriptChanged)
    Q_PROPERTY(QString livePartial READ livePartial NOTIFY liveTranscriptChanged)
    Q_PROPERTY(bool transcribingLive READ transcribingLive NOTIFY liveTranscriptChanged)
    Q_PROPERTY(QString notes READ notes WRITE setNotes NOTIFY notesChanged)
    Q_PROPERTY(int notebookCount READ notebookCount NOTIFY notebookCountChanged)
    Q_PROPERTY(bool meetingIsActive READ meetingIsActive NOTIFY meetingIsActiveChanged)

public:
    // Reads GLADIA_API_KEY once, as it stands, for the initial key.
    explicit MeetingSession(MeetingSessionServices services = MeetingSessionServices::real(),
        QObject* parent = nullptr);
    ~MeetingSession() override;

    [[nodiscard]] bool capturing() const { return m_capture != nullptr; }
    [[nodiscard]] QUrl recording() const { return m_recording.value_or(QUrl()); }
    [[nodiscard]] bool hasRecording() const { return m_recording.has_value(); }
    [[nodiscard]] const std::optional<AudioCapture::Tracks>& recordedTracks() const
    {
        return m_recordedTracks;
    }
    [[nodiscard]] bool hasRecordedTracks() const { return m_recordedTracks.has_value(); }
    [[nodiscard]] bool busy() const { return m_busy; }
    [[nodiscard]] const QString& key() const override { return m_key; }
    void setKey(const QString& key) override;
    // Whether the key holds anything but blanks.
    [[nodiscard]] bool hasKey() const;
    [[nodiscard]] const QString& agentAccessCode() const override { return m_agentAccessCode; }
    void setAgentAccessCode(const QString& code) override;
    [[nodiscard]] const std::optional<AgentAccess>& agentAccess() const override;
    void setAgentAccess(std::optional<AgentAccess> access) override;
    [[nodiscard]] bool hasAgentAccess() const;
    [[nodiscard]] QVariant agentAccessValue() const
    {
        return m_agentAccess ? QVariant::fromValue(*m_agentAccess) : QVariant();
    }
    [[nodiscard]] AgentWorkspaceState* agent() const override { return m_agent; }
    [[nodiscard]] const QString& status() const { return m_status; }
    [[nodiscard]] const std::optional<AudioPermissionHelp>& permissionHelp() const
    {
        return m_permissionHelp;
    }
    [[nodiscard]] bool hasPermissionHelp() const { return m_permissionHelp.has_value(); }
    [[nodiscard]] QString permissionHelpLabel() const;
    [[nodiscard]] const QString& transcript() const { return m_transcript; }
    [[nodiscard]] QString liveTranscript() const;
    [[nodiscard]] QString livePartial() const;
    // A live transcript was started for this recording and has not failed.
    [[nodiscard]] bool transcribingLive() const { return m_live && !m_liveFailed; }
    [[nodiscard]] const QString& notes() const { return m_notes; }
    void setNotes(const QString& notes);
    [[nodiscard]] const ZoomMeetingDetector& zoomDetector() const { return m_zoomDetector; }
    void setZoomDetector(const ZoomMeetingDetector& detector);
    [[nodiscard]] int notebookCount() const { return m_notebookCount; }
    // A notebook window came on screen (+1) or left it (-1).
    void addNotebooks(int delta);
    // A recording runs, or the Zoom detector believes a meeting is on.
    [[nodiscard]] bool meetingIsActive() const;

    // Starts a recording when none runs, stops it otherwise.
    QCoro::Task<void> toggleRecording(ViewActions view);
    // Transcribes the current recording, or asks for a key first.
    QCoro::Task<void> transcribe(ViewActions view);
    // The file chooser is about to open: false when the session refuses (busy, agent busy,
    // recording). While it is open the session is busy.
    bool beginOpenRecording();
    // The file chooser closed with the chosen file, or an empty URL when cancelled.
    void finishOpenRecording(const QUrl& file);
    // At launch: mixes, off the main thread, the latest recording a crash left without its mix,
    // and opens it as the current recording unless the user has begun something meanwhile; then
    // it opens once the session is free with no recording open, else at the next launch.
    QCoro::Task<void> recoverInterruptedRecording();
    // Opens a recovered recording as the current one, as a chosen file would be; false when an
    // operation, a recording or a current recording is in the way.
    bool offerRecovered(const RecordingRecovery::Recovered& recovered);
    // Before quitting: stops and mixes a running recording, waiting first for its start or stop.
    QCoro::Task<void> finishForQuit();

Q_SIGNALS:
    void captureChanged();
    void recordingChanged();
    void recordedTracksChanged();
    void busyChanged();
    void keyChanged();
    void agentAccessCodeChanged();
    void agentAccessChanged();
    void statusChanged();
    void permissionHelpChanged();
    void transcriptChanged();
    void liveTranscriptChanged();
    void notesChanged();
    void zoomDetectorChanged();
    void notebookCountChanged();
    void meetingIsActiveChanged();

private:
    QCoro::Task<void> startRecording(ViewActions view);
    // At a quit, the live transcript is dropped and nothing is transcribed.
    QCoro::Task<void> stopRecording(ViewActions view, bool quitting);
    // Its final transcript, or nothing when the pre-recorded path must run.
    QCoro::Task<std::optional<QString>> finishLive(double feedLead);
    void startLive(LiveTranscription* live, const ViewActions& view);
    void setLive(std::unique_ptr<LiveTranscription> live);
    void setBusy(bool busy);
    void setStatus(const QString& status);
    void setRecording(std::optional<QUrl> recording);
    void setRecordedTracks(std::optional<AudioCapture::Tracks> tracks);
    void setPermissionHelp(std::optional<AudioPermissionHelp> help);
    void setTranscript(const QString& transcript);
    void setCapture(std::unique_ptr<CaptureEngine> capture);
    void offerPendingRecovery();
    // Shows a failure: a permission problem also offers its settings page.
    void reportFailure(std::exception_ptr failure);
    // The disk stopped taking the recording of `engine`.
    void showInterruption(const CaptureEngine* engine, const QString& sentence);

    MeetingSessionServices m_services;
    // The engine feeds the live transcript from its threads: it goes first.
    std::unique_ptr<LiveTranscription, DeleteLater> m_live;
    bool m_liveFailed = false;
    std::unique_ptr<CaptureEngine> m_capture;
    std::optional<QUrl> m_recording;
    std::optional<AudioCapture::Tracks> m_recordedTracks;
    bool m_busy = false;
    QString m_key;
    QString m_agentAccessCode;
    std::optional<AgentAccess> m_agentAccess;
    AgentWorkspaceState* m_agent;
    QString m_status;
    std::optional<AudioPermissionHelp> m_permissionHelp;
    QString m_transcript;
    QString m_notes;
    ZoomMeetingDetector m_zoomDetector;
    int m_notebookCount = 0;
    // The engine being started and what it said about the disk before it was stored.
    const CaptureEngine* m_starting = nullptr;
    QString m_startInterruption;
    // Recovered while the session was in use, waiting to be opened.
    std::optional<RecordingRecovery::Recovered> m_pendingRecovery;
};
