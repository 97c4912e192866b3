#pragma once

#include "appsettings.h"
#include "meetingsession.h"

#include <QList>
#include <QObject>
#include <QPointer>
#include <QQuickWindow>
#include <QUrl>
#include <QtQmlIntegration>

class QQmlComponent;
class QQmlEngine;

// The application's windows by identifier: "notebook" (any number) and "meeting" (at most one,
// raised when asked again). Windows are made from the QML components of Parlevox.App and
// deleted once closed; nothing is restored at the next launch. A recording is never left without
// a window: when the last one closes during a recording, the meeting window comes back.
class WindowRegistry : public QObject
{
    Q_OBJECT
    QML_ELEMENT
    QML_UNCREATABLE("The application makes the window registry.")

    Q_PROPERTY(MeetingSession* session READ session CONSTANT)
    Q_PROPERTY(AppSettings* settings READ settings CONSTANT)

public:
    WindowRegistry(QQmlEngine* engine, MeetingSession* session, AppSettings* settings,
        QObject* parent = nullptr);
    ~WindowRegistry() override;

    [[nodiscard]] MeetingSession* session() const { return m_session; }
    [[nodiscard]] AppSettings* settings() const { return m_settings; }

    // Opens a new notebook window, or opens or raises the meeting window.
    Q_INVOKABLE void openWindow(const QString& identifier);
    // The notebook windows still open, oldest first.
    [[nodiscard]] QList<QQuickWindow*> notebookWindows() const;
    // The meeting window, when open.
    [[nodiscard]] QQuickWindow* meetingWindow() const { return m_meeting; }
    // Hands an application link to the most recently active notebook, whose view decides whether
    // to take it; the other windows never see it.
    void deliverLink(const QUrl& link);
    // The notebook that was active last, or the newest one when none has been active yet.
    [[nodiscard]] QQuickWindow* lastActiveNotebook() const;

Q_SIGNALS:
    // A window was opened or closed.
    void windowsChanged();
    // The last window closed while no recording runs: time to quit.
    void allWindowsClosed();

private:
    QQuickWindow* create(QQmlComponent* component);
    void forget(QQuickWindow* window);

    QQmlEngine* m_engine;
    MeetingSession* m_session;
    AppSettings* m_settings;
    QQmlComponent* m_notebookComponent = nullptr;
    QQmlComponent* m_meetingComponent = nullptr;
    QList<QPointer<QQuickWindow>> m_notebooks;
    QPointer<QQuickWindow> m_meeting;
    QPointer<QQuickWindow> m_lastActiveNotebook;
};
