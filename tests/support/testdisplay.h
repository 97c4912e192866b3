#pragma once

#include <QByteArray>
#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QTemporaryDir>

// A private display for the GUI tests: an Xvfb server, or, when PARLEVOX_DISPLAY is "wayland" (or
// when asked), a Wayland session: weston with XWayland, in a runtime folder of its own.
// weston's headless backend has no seat, and Qt 6.4's Wayland text input dereferences the missing
// one as the first text field is made; weston's X11 backend, inside the Xvfb server, has one.
class TestDisplay
{
public:
    enum class Kind
    {
        x11,
        wayland,
    };

    explicit TestDisplay(Kind kind = chosenKind());
    ~TestDisplay();
    TestDisplay(const TestDisplay&) = delete;
    TestDisplay& operator=(const TestDisplay&) = delete;

    // The display PARLEVOX_DISPLAY chooses.
    [[nodiscard]] static Kind chosenKind();
    [[nodiscard]] Kind kind() const { return m_kind; }
    // "Xvfb (xcb)" or "weston 10.0.1 (wayland, XWayland on :1)", for the logs.
    [[nodiscard]] QString name() const;

    // Whether the display came up; `log()` says why not.
    [[nodiscard]] bool isReady() const { return m_ready; }
    [[nodiscard]] QString log() const;

    // The X display clients read window titles from: the Xvfb server, or XWayland.
    [[nodiscard]] const QByteArray& x11Display() const { return m_x11Display; }
    // The X server whose keyboard and pointer are the display's: Xvfb, under weston too (keys
    // sent there reach the focused Wayland window).
    [[nodiscard]] const QByteArray& seatDisplay() const { return m_xvfbDisplay; }
    // The Xvfb server's process, to stall it.
    [[nodiscard]] qint64 xvfbProcessId() const { return m_xvfb.processId(); }
    // The environment a Qt client needs to show its windows on this display, the way a desktop
    // session of that kind sets it.
    [[nodiscard]] QProcessEnvironment clientEnvironment(
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment()) const;

private:
    bool startXvfb();
    bool startWeston();

    Kind m_kind;
    bool m_ready = false;
    QTemporaryDir m_runtime;
    QProcess m_xvfb;
    QProcess m_weston;
    QByteArray m_xvfbDisplay;
    QByteArray m_x11Display;
    QString m_westonVersion;
};
