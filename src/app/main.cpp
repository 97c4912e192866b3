#include "appsettings.h"
#include "linkhandoff.h"
#include "meetingsession.h"
#include "platformtexts.h"
#include "quitguard.h"
#include "windowregistry.h"

#include <QGuiApplication>
#include <QIcon>
#include <QQmlApplicationEngine>
#include <QQuickStyle>
#include <QQuickWindow>
#include <QSGRendererInterface>
#include <QTimer>
#include <cstdio>
#include <ctime>

namespace {

// The one argument Parlevox accepts: a parlevox:// link (anything else is ignored).
QUrl linkArgument(const QStringList& arguments)
{
    if (arguments.size() < 2) {
        return {};
    }
    const QUrl link(arguments.at(1), QUrl::StrictMode);
    return link.scheme() == QLatin1String("parlevox") ? link : QUrl();
}

// For bench/startup: prints the monotonic time of the first notebook frame.
void reportFirstFrame(WindowRegistry& windows)
{
    const QList<QQuickWindow*> notebooks = windows.notebookWindows();
    if (notebooks.isEmpty()) {
        return;
    }
    QObject::connect(
        notebooks.first(), &QQuickWindow::frameSwapped, notebooks.first(),
        [] {
            static bool reported = false;
            if (reported) {
                return;
            }
            reported = true;
            timespec now {};
            clock_gettime(CLOCK_MONOTONIC, &now);
            std::printf("first_frame_monotonic_ns=%lld\n",
                static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec);
            std::fflush(stdout);
        },
        Qt::DirectConnection);
}

} // namespace

int main(int argc, char* argv[])
{
    QGuiApplication app(argc, argv);
    installFrenchPlatformTexts(app);
    QGuiApplication::setOrganizationName(QStringLiteral("Parlevox"));
    QGuiApplication::setApplicationName(QStringLiteral("Parlevox"));
    QGuiApplication::setApplicationDisplayName(QStringLiteral("Parlevox"));
    QGuiApplication::setDesktopFileName(QStringLiteral(PARLEVOX_APP_ID));
    QGuiApplication::setWindowIcon(QIcon(QStringLiteral(":/Parlevox/App/Parlevox.png")));
    QQuickStyle::setStyle(QStringLiteral("Basic"));
    // Text, flat shapes and no effects: the software renderer draws them as well, starts about
    // twice as fast and holds half the memory (bench/startup). QT_QUICK_BACKEND still chooses.
    if (qEnvironmentVariableIsEmpty("QT_QUICK_BACKEND")) {
        QQuickWindow::setGraphicsApi(QSGRendererInterface::Software);
    }

    const QUrl link = linkArgument(QGuiApplication::arguments());
    LinkHandoff handoff;
    if (handoff.handOff(link)) {
        return 0;
    }
    handoff.listen();

    MeetingSession session;
    AppSettings settings;
    QQmlApplicationEngine engine;
    engine.addImportPath(QStringLiteral("qrc:/"));
    WindowRegistry windows(&engine, &session, &settings);
    QObject::connect(&handoff, &LinkHandoff::linkReceived, &windows, &WindowRegistry::deliverLink);
    QObject::connect(&handoff, &LinkHandoff::launchedAgain, &windows,
        [&windows] { windows.openWindow(QStringLiteral("notebook")); });

    // Closing every window, Ctrl+Q and SIGTERM/SIGINT quit only once a recording is mixed.
    QGuiApplication::setQuitOnLastWindowClosed(false);
    QuitGuard quitGuard(&session);
    app.installEventFilter(&quitGuard);
    QObject::connect(
        &windows, &WindowRegistry::allWindowsClosed, &quitGuard, &QuitGuard::requestQuit);

    windows.openWindow(QStringLiteral("notebook"));
    session.recoverInterruptedRecording();
    if (qEnvironmentVariableIsSet("PARLEVOX_REPORT_FIRST_FRAME")) {
        reportFirstFrame(windows);
    }
    if (!link.isEmpty()) {
        QTimer::singleShot(0, &windows, [&windows, link] { windows.deliverLink(link); });
    }
    return QGuiApplication::exec();
}
