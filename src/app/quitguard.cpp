#include "quitguard.h"

#include <QCoreApplication>
#include <QKeyEvent>
#include <QSocketNotifier>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// Written by the signal handler, read on the main thread.
int signalPipe[2] = { -1, -1 };

void onSignal(int)
{
    const int interrupted = errno; // the code this handler interrupts may be about to read it
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = ::write(signalPipe[1], &byte, 1);
    errno = interrupted;
}

} // namespace

QuitGuard::QuitGuard(MeetingSession* session, QObject* parent)
    : QObject(parent)
    , m_session(session)
{
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, signalPipe) != 0) {
        return;
    }
    m_signals = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, this);
    connect(m_signals, &QSocketNotifier::activated, this, &QuitGuard::signalReceived);
    struct sigaction action
    { };
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
}

QuitGuard::~QuitGuard()
{
    if (m_signals) {
        std::signal(SIGTERM, SIG_DFL);
        std::signal(SIGINT, SIG_DFL);
        ::close(signalPipe[0]);
        ::close(signalPipe[1]);
        signalPipe[0] = signalPipe[1] = -1;
    }
}

void QuitGuard::requestQuit()
{
    if (m_quitting) {
        return;
    }
    m_quitting = true;
    quitWhenFinished();
}

QCoro::Task<void> QuitGuard::quitWhenFinished()
{
    QPointer<QuitGuard> self(this);
    if (m_session) {
        co_await m_session->finishForQuit();
    }
    if (self) {
        QCoreApplication::quit();
    }
}

void QuitGuard::signalReceived()
{
    char byte = 0;
    [[maybe_unused]] const ssize_t read = ::read(signalPipe[0], &byte, 1);
    if (m_signalled) {
        // The mix may be under way on another thread: leave without unwinding anything.
        std::_Exit(128 + SIGTERM);
    }
    // The first signal waits for the mix even when Ctrl+Q came first.
    m_signalled = true;
    requestQuit();
}

bool QuitGuard::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() == QEvent::KeyPress
        && static_cast<QKeyEvent*>(event)->matches(QKeySequence::Quit)) {
        requestQuit();
        return true;
    }
    return QObject::eventFilter(watched, event);
}
