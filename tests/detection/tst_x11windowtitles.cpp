#include "testdisplay.h"
#include "x11windowtitles.h"
#include "zoommeetingdetector.h"

#include <QDir>
#include <QScopeGuard>
#include <QTest>
#include <csignal>
#include <xcb/xcb.h>

using namespace std::chrono_literals;

namespace {

// Generous: these calls must answer, the bound itself is checked with a stalled server.
constexpr auto budget = 5s;

const QString meetingTitle = QStringLiteral("Zoom Meeting");

} // namespace

// Reads window titles from a private Xvfb server on which the test creates its own windows, and
// from the XWayland server of a Wayland session.
class TestX11WindowTitles : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY2(m_server.isReady(), "Xvfb did not start");
        m_display = m_server.x11Display();

        m_connection = xcb_connect(m_display.constData(), nullptr);
        QVERIFY(xcb_connection_has_error(m_connection) == 0);
        m_root = xcb_setup_roots_iterator(xcb_get_setup(m_connection)).data->root;
        m_utf8String = atom("UTF8_STRING");
        m_netWmName = atom("_NET_WM_NAME");
        m_netClientList = atom("_NET_CLIENT_LIST");
    }

    void cleanupTestCase()
    {
        if (m_connection != nullptr) {
            xcb_disconnect(m_connection);
        }
    }

    void cleanup()
    {
        for (const xcb_window_t window : std::as_const(m_windows)) {
            xcb_destroy_window(m_connection, window);
        }
        m_windows.clear();
        xcb_delete_property(m_connection, m_root, m_netClientList);
        sync();
    }

    void treeWalkWithoutWindowManager()
    {
        window("zoom", meetingTitle, "zoom");
        window("zoom", {}, QByteArray("R\xe9union Zoom"));
        window("firefox", meetingTitle, "Zoom Meeting");
        window({}, meetingTitle, {});
        window("zoom", {}, {});
        window("zoom", {}, "Utf-8 Only Name \xc3\xa9", m_utf8String);
        const xcb_window_t frame = window({}, {}, {});
        window("Zoom", QStringLiteral("Zoom Webinar"), {}, XCB_ATOM_STRING, frame);
        sync();

        const auto titles = x11WindowTitles(m_display, "zoom", budget);
        QVERIFY(titles.has_value());
        QCOMPARE(*titles,
            QStringList({ meetingTitle, QStringLiteral("Réunion Zoom"),
                QStringLiteral("Utf-8 Only Name é"), QStringLiteral("Zoom Webinar") }));
    }

    void clientListOfWindowManager()
    {
        window("zoom", meetingTitle, {});
        const xcb_window_t listedZoom = window("zoom", QStringLiteral("Zoom"), {});
        const xcb_window_t other = window("firefox", meetingTitle, {});

        setClientList({ other, listedZoom });
        auto titles = x11WindowTitles(m_display, "zoom", budget);
        QVERIFY(titles.has_value());
        QCOMPARE(*titles, QStringList { QStringLiteral("Zoom") });

        setClientList({ other });
        titles = x11WindowTitles(m_display, "zoom", budget);
        QVERIFY(titles.has_value());
        QVERIFY(titles->isEmpty());
    }

    // The detector reads the display from the environment; without one, or with one nobody
    // serves, there is nothing to read.
    void displayFromEnvironmentOrNone()
    {
        window("zoom", meetingTitle, {});
        sync();
        qputenv("DISPLAY", m_display);
        QCOMPARE(ZoomMeetingDetector::windowTitles(), std::optional(QStringList { meetingTitle }));
        qunsetenv("DISPLAY");
        QCOMPARE(ZoomMeetingDetector::windowTitles(), std::nullopt);

        QCOMPARE(x11WindowTitles({}, "zoom", budget), std::nullopt);
        int unused = 500;
        while (QFile::exists(QStringLiteral("/tmp/.X%1-lock").arg(unused))
            || QFile::exists(QStringLiteral("/tmp/.X11-unix/X%1").arg(unused))) {
            ++unused;
        }
        QCOMPARE(x11WindowTitles(':' + QByteArray::number(unused), "zoom", budget), std::nullopt);
    }

    void noneWhenServerStalls()
    {
        window("zoom", meetingTitle, {});
        sync();
        const auto pid = pid_t(m_server.xvfbProcessId());
        QCOMPARE(::kill(pid, SIGSTOP), 0);
        const auto stalled = x11WindowTitles(m_display, "zoom", 300ms);
        // A second call while the first connection attempt still hangs must not wait either.
        const auto stalledAgain = x11WindowTitles(m_display, "zoom", 300ms);
        QCOMPARE(::kill(pid, SIGCONT), 0);
        QCOMPARE(stalled, std::nullopt);
        QCOMPARE(stalledAgain, std::nullopt);

        // Once the server answers again, so does the query.
        QTRY_COMPARE(x11WindowTitles(m_display, "zoom", budget),
            std::optional(QStringList { meetingTitle }));
    }

    // In a Wayland session the Zoom client runs on XWayland, under the compositor's window manager.
    void meetingWindowOnXWayland()
    {
        const TestDisplay session(TestDisplay::Kind::wayland);
        QVERIFY2(session.isReady(), qPrintable(session.log()));
        xcb_connection_t* connection = xcb_connect(session.x11Display().constData(), nullptr);
        const auto disconnect = qScopeGuard([connection] { xcb_disconnect(connection); });
        QVERIFY(xcb_connection_has_error(connection) == 0);
        const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(connection)).data->root;
        const auto open = [connection, root](const QByteArray& title) {
            const xcb_window_t id = xcb_generate_id(connection);
            xcb_create_window(connection, XCB_COPY_FROM_PARENT, id, root, 0, 0, 200, 100, 0,
                XCB_WINDOW_CLASS_INPUT_OUTPUT, XCB_COPY_FROM_PARENT, 0, nullptr);
            const QByteArray wmClass("zoom\0zoom\0", 10);
            xcb_change_property(connection, XCB_PROP_MODE_REPLACE, id, XCB_ATOM_WM_CLASS,
                XCB_ATOM_STRING, 8, uint32_t(wmClass.size()), wmClass.constData());
            xcb_change_property(connection, XCB_PROP_MODE_REPLACE, id, XCB_ATOM_WM_NAME,
                XCB_ATOM_STRING, 8, uint32_t(title.size()), title.constData());
            xcb_map_window(connection, id);
            xcb_flush(connection);
        };
        qputenv("DISPLAY", session.x11Display());
        const auto unset = qScopeGuard([] { qunsetenv("DISPLAY"); });

        ZoomMeetingDetector detector;
        open("Zoom");
        QTRY_COMPARE(ZoomMeetingDetector::windowTitles(),
            std::optional(QStringList { QStringLiteral("Zoom") }));
        QVERIFY(!detector.observe(ZoomMeetingDetector::windowTitles()));
        open(meetingTitle.toLatin1());
        // In the order the window manager lists them, which is its own.
        QTRY_COMPARE(ZoomMeetingDetector::windowTitles().value_or(QStringList()).size(), 2);
        QVERIFY(detector.observe(ZoomMeetingDetector::windowTitles()));
    }

private:
    xcb_atom_t atom(const char* name) const
    {
        const auto cookie = xcb_intern_atom(m_connection, 0, uint16_t(strlen(name)), name);
        xcb_intern_atom_reply_t* reply = xcb_intern_atom_reply(m_connection, cookie, nullptr);
        const xcb_atom_t result = reply != nullptr ? reply->atom : xcb_atom_t(XCB_ATOM_NONE);
        free(reply);
        return result;
    }

    void sync() const
    {
        free(xcb_get_input_focus_reply(m_connection, xcb_get_input_focus(m_connection), nullptr));
    }

    void setText(xcb_window_t window, xcb_atom_t property, xcb_atom_t type, const QByteArray& text)
    {
        xcb_change_property(m_connection, XCB_PROP_MODE_REPLACE, window, property, type, 8,
            uint32_t(text.size()), text.constData());
    }

    // A window with the given class (none when null), _NET_WM_NAME (none when null) and WM_NAME
    // (none when null, of the given type).
    xcb_window_t window(const QByteArray& wmClass, const QString& netWmName,
        const QByteArray& wmName, xcb_atom_t wmNameType = XCB_ATOM_STRING,
        xcb_window_t parent = XCB_WINDOW_NONE)
    {
        const xcb_window_t id = xcb_generate_id(m_connection);
        xcb_create_window(m_connection, XCB_COPY_FROM_PARENT, id,
            parent == XCB_WINDOW_NONE ? m_root : parent, 0, 0, 10, 10, 0,
            XCB_WINDOW_CLASS_INPUT_OUTPUT, XCB_COPY_FROM_PARENT, 0, nullptr);
        if (!wmClass.isNull()) {
            setText(id, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, wmClass + '\0' + wmClass + '\0');
        }
        if (!netWmName.isNull()) {
            setText(id, m_netWmName, m_utf8String, netWmName.toUtf8());
        }
        if (!wmName.isNull()) {
            setText(id, XCB_ATOM_WM_NAME, wmNameType, wmName);
        }
        xcb_map_window(m_connection, id);
        if (parent == XCB_WINDOW_NONE) {
            m_windows.append(id);
        }
        return id;
    }

    void setClientList(const QList<xcb_window_t>& windows)
    {
        xcb_change_property(m_connection, XCB_PROP_MODE_REPLACE, m_root, m_netClientList,
            XCB_ATOM_WINDOW, 32, uint32_t(windows.size()), windows.constData());
        sync();
    }

    const TestDisplay m_server { TestDisplay::Kind::x11 };
    QByteArray m_display;
    xcb_connection_t* m_connection = nullptr;
    xcb_window_t m_root = XCB_WINDOW_NONE;
    xcb_atom_t m_utf8String = XCB_ATOM_NONE;
    xcb_atom_t m_netWmName = XCB_ATOM_NONE;
    xcb_atom_t m_netClientList = XCB_ATOM_NONE;
    QList<xcb_window_t> m_windows;
};

QTEST_GUILESS_MAIN(TestX11WindowTitles)
#include "tst_x11windowtitles.moc"
