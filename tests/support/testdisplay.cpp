#include "testdisplay.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QRegularExpression>
#include <QThread>

namespace {

constexpr auto waylandSocket = "wayland-parlevox";

// A black desktop without panel, so that what a screenshot holds besides black is the client's,
// and no idle fade during a long test.
constexpr auto westonConfiguration = "[core]\nidle-time=0\n"
                                     "[shell]\nbackground-color=0xff000000\npanel-position=none\n"
                                     "locking=false\n";

QString readAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

} // namespace

TestDisplay::TestDisplay(Kind kind)
    : m_kind(kind)
{
    m_ready = m_runtime.isValid() && startXvfb() && (m_kind == Kind::x11 || startWeston());
}

TestDisplay::~TestDisplay()
{
    for (QProcess* server : { &m_weston, &m_xvfb }) {
        if (server->state() != QProcess::NotRunning) {
            server->terminate();
            if (!server->waitForFinished(10000)) {
                server->kill();
                server->waitForFinished();
            }
        }
    }
}

TestDisplay::Kind TestDisplay::chosenKind()
{
    return qgetenv("PARLEVOX_DISPLAY") == "wayland" ? Kind::wayland : Kind::x11;
}

QString TestDisplay::name() const
{
    return m_kind == Kind::x11 ? QStringLiteral("Xvfb (xcb)")
                               : QStringLiteral("%1 (wayland, XWayland on %2)")
                                     .arg(m_westonVersion, QString::fromLatin1(m_x11Display));
}

QString TestDisplay::log() const
{
    return readAll(m_runtime.filePath(QStringLiteral("weston.log")))
        + readAll(m_runtime.filePath(QStringLiteral("output.log")));
}

QProcessEnvironment TestDisplay::clientEnvironment(QProcessEnvironment environment) const
{
    environment.insert(QStringLiteral("DISPLAY"), QString::fromLatin1(m_x11Display));
    if (m_kind == Kind::x11) {
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
        environment.remove(QStringLiteral("WAYLAND_DISPLAY"));
    } else {
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("wayland"));
        environment.insert(QStringLiteral("WAYLAND_DISPLAY"), QString::fromLatin1(waylandSocket));
        environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), m_runtime.path());
        environment.insert(QStringLiteral("XDG_SESSION_TYPE"), QStringLiteral("wayland"));
    }
    return environment;
}

bool TestDisplay::startXvfb()
{
    // Xvfb picks a free display and writes its number on the given descriptor.
    m_xvfb.setProgram(QStringLiteral("Xvfb"));
    m_xvfb.setArguments({ QStringLiteral("-displayfd"), QStringLiteral("1"),
        QStringLiteral("-screen"), QStringLiteral("0"), QStringLiteral("1400x1000x24"),
        QStringLiteral("-nolisten"), QStringLiteral("tcp") });
    m_xvfb.start();
    if (!m_xvfb.waitForStarted()) {
        return false;
    }
    while (!m_xvfb.canReadLine()) {
        if (!m_xvfb.waitForReadyRead(20000)) {
            return false;
        }
    }
    m_xvfbDisplay = ':' + m_xvfb.readLine().trimmed();
    m_x11Display = m_xvfbDisplay;
    return true;
}

bool TestDisplay::startWeston()
{
    QFile configuration(m_runtime.filePath(QStringLiteral("weston.ini")));
    if (!configuration.open(QIODevice::WriteOnly) || configuration.write(westonConfiguration) < 0) {
        return false;
    }
    configuration.close();
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("DISPLAY"), QString::fromLatin1(m_xvfbDisplay));
    environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), m_runtime.path());
    environment.remove(QStringLiteral("WAYLAND_DISPLAY"));
    m_weston.setProcessEnvironment(environment);
    // weston's and XWayland's own chatter stays out of the test's output, in log().
    m_weston.setProcessChannelMode(QProcess::MergedChannels);
    m_weston.setStandardOutputFile(m_runtime.filePath(QStringLiteral("output.log")));
    m_weston.setWorkingDirectory(m_runtime.path());
    // --debug lets weston-screenshooter read the output: a Wayland client cannot otherwise.
    m_weston.start(QStringLiteral("weston"),
        { QStringLiteral("--backend=x11-backend.so"), QStringLiteral("--use-pixman"),
            QStringLiteral("--width=1400"), QStringLiteral("--height=1000"),
            QStringLiteral("--socket=%1").arg(QLatin1String(waylandSocket)),
            QStringLiteral("--xwayland"), QStringLiteral("--debug"),
            QStringLiteral("--config=") + configuration.fileName(),
            QStringLiteral("--log=") + m_runtime.filePath(QStringLiteral("weston.log")) });
    if (!m_weston.waitForStarted()) {
        return false;
    }
    // XWayland's display is announced once the compositor listens on its own socket.
    static const QRegularExpression announced(
        QStringLiteral("xserver listening on display (:\\d+)"));
    static const QRegularExpression version(QStringLiteral("\\] (weston [\\d.]+)"));
    const QDeadlineTimer deadline(20000);
    while (!deadline.hasExpired() && m_weston.state() == QProcess::Running) {
        const QString written = log();
        const QRegularExpressionMatch display = announced.match(written);
        if (display.hasMatch()) {
            m_x11Display = display.captured(1).toLatin1();
            m_westonVersion = version.match(written).captured(1);
            return true;
        }
        QThread::msleep(50);
    }
    return false;
}
