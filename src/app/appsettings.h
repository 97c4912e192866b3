#pragma once

#include <QObject>
#include <QSettings>
#include <QString>
#include <QtQmlIntegration>
#include <memory>

// The settings kept between runs, in the per-user settings store. One instance serves every
// window, so a change made in one is seen at once by the others.
class AppSettings : public QObject
{
    Q_OBJECT
    QML_ELEMENT
    QML_UNCREATABLE("The application shares one settings object.")

    Q_PROPERTY(bool detectZoomMeetings READ detectZoomMeetings WRITE setDetectZoomMeetings NOTIFY
            detectZoomMeetingsChanged)
    Q_PROPERTY(bool seenGuestIntro READ seenGuestIntro WRITE setSeenGuestIntro NOTIFY
            seenGuestIntroChanged)
    Q_PROPERTY(QString webWorkspaceURL READ webWorkspaceURL WRITE setWebWorkspaceURL NOTIFY
            webWorkspaceURLChanged)
    Q_PROPERTY(bool liveTranscription READ liveTranscription WRITE setLiveTranscription NOTIFY
            liveTranscriptionChanged)

public:
    // The application's own store (organisation and application "Parlevox").
    explicit AppSettings(QObject* parent = nullptr);
    // A store in `fileName` (INI format), for tests.
    explicit AppSettings(const QString& fileName, QObject* parent = nullptr);
    ~AppSettings() override;

    [[nodiscard]] bool detectZoomMeetings() const;
    void setDetectZoomMeetings(bool detect);
    [[nodiscard]] bool seenGuestIntro() const;
    void setSeenGuestIntro(bool seen);
    [[nodiscard]] QString webWorkspaceURL() const;
    void setWebWorkspaceURL(const QString& url);
    // Transcribe while recording, the audio going to the service during the meeting.
    [[nodiscard]] bool liveTranscription() const;
    void setLiveTranscription(bool live);

Q_SIGNALS:
    void detectZoomMeetingsChanged();
    void seenGuestIntroChanged();
    void webWorkspaceURLChanged();
    void liveTranscriptionChanged();

private:
    std::unique_ptr<QSettings> m_store;
};
