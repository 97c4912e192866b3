#include "linkhandoff.h"
#include "processmemory.h"

#include <QDir>
#include <QFile>
#include <QLocalSocket>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The other user's side, in Python: "listen" puts a socket at the path and says how many bytes it
// received, "send" writes the payload to the socket there.
const char* const foreignPeer = R"(
import socket, sys
mode, path, payload = sys.argv[1:]
peer = socket.socket(socket.AF_UNIX)
if mode == "listen":
    peer.bind(path)
    peer.listen(4)
    print("ready", flush=True)
    received = 0
    try:
        peer.settimeout(5)
        connection = peer.accept()[0]
        connection.settimeout(2)
        while data := connection.recv(4096):
            received += len(data)
    except OSError:
        pass
    print("got", received)
else:
    try:
        peer.connect(path)
        peer.sendall(payload.encode())
        print("sent")
    except OSError:
        print("refused")
)";

// That side run as the user "nobody".
class ForeignProcess
{
public:
    ForeignProcess(const char* mode, const QString& path, const QString& payload = {})
    {
        const passwd* nobody = ::getpwnam("nobody"); // checked in initTestCase
        m_process.setChildProcessModifier([uid = nobody->pw_uid, gid = nobody->pw_gid] {
            if (::setgroups(0, nullptr) != 0 || ::setgid(gid) != 0 || ::setuid(uid) != 0) {
                ::_exit(3);
            }
        });
        m_process.start(QStringLiteral("/usr/bin/python3"),
            { QStringLiteral("-c"), QString::fromLatin1(foreignPeer), QString::fromLatin1(mode),
                path, payload });
    }
    ~ForeignProcess() { m_process.waitForFinished(10000); }

    // The next line it prints.
    QByteArray line()
    {
        while (!m_process.canReadLine() && m_process.waitForReadyRead(10000)) { }
        return m_process.readLine().trimmed();
    }

private:
    QProcess m_process;
};

// A folder every user may create files in, as the shared temporary folder is.
void openToEveryone(const QString& path)
{
    ::chmod(QFile::encodeName(path).constData(), 01777);
}

QString modeOf(const QString& path)
{
    struct stat status
    { };
    ::lstat(QFile::encodeName(path).constData(), &status);
    return QString::number(status.st_mode & 07777, 8);
}

} // namespace

class tst_LinkHandoff : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;

    [[nodiscard]] QString socketIn(const QString& name) const { return m_dir.filePath(name); }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(::getuid() == 0); // the foreign user needs a process of its own
        QVERIFY(::getpwnam("nobody"));
        openToEveryone(m_dir.path());
    }

    void oneConnectionOneAction_data()
    {
        QTest::addColumn<QByteArray>("payload");
        QTest::addColumn<int>("links");
        QTest::addColumn<int>("launches");
        QTest::newRow("a link") << QByteArray("parlevox://integrations?a=1\n") << 1 << 0;
        QTest::newRow("a link, then more")
            << QByteArray("parlevox://a\nparlevox://b\n\n\n") << 1 << 0;
        QTest::newRow("a launch, then blank lines") << QByteArray("\n").repeated(100000)
                + "parlevox://a\n" << 0 << 1;
        QTest::newRow("another scheme") << QByteArray("https://example.org/\n") << 0 << 0;
        QTest::newRow("10 MB of garbage, then blank lines")
            << QByteArray(10'000'000, 'z') + QByteArray("\n").repeated(1000) << 0 << 0;
        QTest::newRow("a link never ended") << QByteArray("parlevox://a") << 0 << 0;
    }

    void oneConnectionOneAction()
    {
        QFETCH(QByteArray, payload);
        LinkHandoff running(socketIn(QStringLiteral("one.socket")));
        QVERIFY(running.listen());
        QSignalSpy links(&running, &LinkHandoff::linkReceived);
        QSignalSpy launches(&running, &LinkHandoff::launchedAgain);
        QVERIFY(processmemory::resetPeak());
        const qint64 idle = processmemory::residentMiB();

        QLocalSocket sender;
        sender.connectToServer(running.path());
        QVERIFY(sender.waitForConnected(5000));
        sender.write(payload);
        sender.flush();
        if (!payload.endsWith('\n')) {
            sender.disconnectFromServer();
        }
        QTRY_VERIFY_WITH_TIMEOUT(sender.state() == QLocalSocket::UnconnectedState, 10000);
        QTest::qWait(100);

        QTEST(int(links.size()), "links");
        QTEST(int(launches.size()), "launches");
        const qint64 peak = processmemory::peakMiB();
        QVERIFY2(
            peak - idle < 200, qPrintable(QStringLiteral("%1 MiB above idle").arg(peak - idle)));
    }

    void floodOfConnections()
    {
        LinkHandoff running(socketIn(QStringLiteral("flood.socket")));
        QVERIFY(running.listen());
        QSignalSpy links(&running, &LinkHandoff::linkReceived);
        QSignalSpy launches(&running, &LinkHandoff::launchedAgain);
        std::vector<std::unique_ptr<QLocalSocket>> flood;
        int connected = 0;
        for (int i = 0; i < 100; ++i) {
            auto socket = std::make_unique<QLocalSocket>();
            socket->connectToServer(running.path());
            // Past the listen backlog a connection is refused outright.
            if (socket->state() == QLocalSocket::ConnectedState) {
                socket->write(QByteArray(64 * 1024, char('a' + i % 26)));
                ++connected;
            }
            flood.push_back(std::move(socket));
        }
        QVERIFY(connected >= 20);
        QTRY_VERIFY_WITH_TIMEOUT(std::all_of(flood.cbegin(), flood.cend(),
                                     [](const auto& socket) {
                                         return socket->state() == QLocalSocket::UnconnectedState;
                                     }),
            20000);

        // The running instance still takes a real launch afterwards.
        QVERIFY(LinkHandoff(running.path()).handOff(QUrl(QStringLiteral("parlevox://x"))));
        QTRY_COMPARE(links.size(), 1);
        QCOMPARE(launches.size(), 0);
    }

    // A socket another user put in place gets no link.
    void foreignUser()
    {
        const QString path = socketIn(QStringLiteral("squatted.socket"));
        ForeignProcess squatter("listen", path);
        QCOMPARE(squatter.line(), QByteArray("ready"));

        LinkHandoff launch(path);
        QVERIFY(!launch.handOff(QUrl(QStringLiteral("parlevox://secret"))));
        // Its socket is not taken over either; this run goes on without a hand-off.
        QVERIFY(!launch.listen());
        QCOMPARE(squatter.line(), QByteArray("got 0"));
        QVERIFY(QFileInfo::exists(path));

        // Nor is a link another user sends taken.
        LinkHandoff running(socketIn(QStringLiteral("open.socket")));
        QVERIFY(running.listen());
        // As if the file modes were not enforced: the peer's identity is checked anyway.
        ::chmod(QFile::encodeName(running.path()).constData(), 0777);
        QSignalSpy links(&running, &LinkHandoff::linkReceived);
        {
            ForeignProcess intruder("send", running.path(), QStringLiteral("parlevox://evil\n"));
            QCOMPARE(intruder.line(), QByteArray("sent"));
        }
        QVERIFY(LinkHandoff(running.path()).handOff(QUrl(QStringLiteral("parlevox://mine"))));
        QTRY_COMPARE(links.size(), 1);
        QCOMPARE(links.constFirst().constFirst().toUrl(), QUrl(QStringLiteral("parlevox://mine")));
    }

    void socketPathIsPrivate()
    {
        const QString uid = QString::number(::getuid());
        QTemporaryDir runtime; // 0700 and ours, as the session's runtime folder
        QCOMPARE(LinkHandoff::socketPath(runtime.path(), m_dir.path()),
            runtime.filePath(QStringLiteral("parlevox.socket")));

        // No runtime folder: a private one in the temporary folder.
        QTemporaryDir shared;
        openToEveryone(shared.path());
        const QString usual = shared.filePath(QStringLiteral("parlevox-") + uid);
        QCOMPARE(LinkHandoff::socketPath({}, shared.path()),
            QDir(usual).filePath(QStringLiteral("parlevox.socket")));
        QCOMPARE(modeOf(usual), QStringLiteral("700"));

        // A runtime folder of someone else is not used.
        const uid_t nobody = ::getpwnam("nobody")->pw_uid;
        QVERIFY(::chown(QFile::encodeName(runtime.path()).constData(), nobody, -1) == 0);
        QCOMPARE(LinkHandoff::socketPath(runtime.path(), shared.path()),
            QDir(usual).filePath(QStringLiteral("parlevox.socket")));

        // The usual name taken by another user: a fresh private folder, and Parlevox runs there.
        QVERIFY(::chown(QFile::encodeName(usual).constData(), nobody, -1) == 0);
        const QString elsewhere = LinkHandoff::socketPath({}, shared.path());
        QVERIFY2(
            !elsewhere.isEmpty() && !elsewhere.startsWith(usual + u'/'), qPrintable(elsewhere));
        QCOMPARE(modeOf(QFileInfo(elsewhere).path()), QStringLiteral("700"));
        LinkHandoff running(elsewhere);
        QVERIFY(running.listen());
    }
};

QTEST_GUILESS_MAIN(tst_LinkHandoff)

#include "tst_linkhandoff.moc"
