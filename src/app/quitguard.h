#pragma once

#include "meetingsession.h"

#include <QObject>
#include <QPointer>

class QSocketNotifier;

// Quits Parlevox without abandoning a recording: Ctrl+Q in any window, SIGTERM (the session
// ending) and SIGINT first stop and mix a running recording, then quit. A second signal while
// that runs quits at once; the tracks are then recovered at the next launch.
class QuitGuard : public QObject
{
    Q_OBJECT

public:
    explicit QuitGuard(MeetingSession* session, QObject* parent = nullptr);
    ~QuitGuard() override;

    // Quits once no recording is left running; asking again changes nothing.
    void requestQuit();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QCoro::Task<void> quitWhenFinished();
    void signalReceived();

    QPointer<MeetingSession> m_session;
    QSocketNotifier* m_signals = nullptr;
    bool m_quitting = false;
    bool m_signalled = false; // the next signal quits at once
};
