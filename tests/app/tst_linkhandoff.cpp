#include "linkhandoff.h"
#include "processmemory.h"

#include <QDir>
#include <QFile>
#include <QLocalSocket>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <cstring>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

// What this binary does when started as another user's process (see main).
int foreignHelper(const char* mode, const char* path, const char* payload)
{
    sockaddr_un address {};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path, sizeof(address.sun_path) - 1);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    if (std::strcmp(mode, "--listen") == 0) {
        if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0
            || ::listen(fd, 4) != 0) {
            return 2;
        }
        std::printf("ready\n");
        std::fflush(stdout);
        pollfd waiting { fd, POLLIN, 0 };
        qint64 received = 0;
        if (::poll(&waiting, 1, 5000) == 1) {
            const int peer = ::accept(fd, nullptr, nullptr);
            pollfd reading { peer, POLLIN, 0 };
            char buffer[4096];
            ssize_t got = 0;
            while (
                ::poll(&reading, 1, 2000) == 1 && (got = ::read(peer, buffer, sizeof buffer)) > 0) {
                received += got;
            }
        }
        std::printf("got %lld\n", static_cast<long long>(received));
        return 0;
    }
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
        std::printf("refused\n");
        return 0;
    }
    const ssize_t written = ::write(fd, payload, std::strlen(payload));
    std::printf(written > 0 ? "sent\n" : "refused\n");
    return 0;
}

// This test binary again, as the user "nobody"; `program` is a copy of it that user may run.
class ForeignProcess
{
public:
    ForeignProcess(const QString& program, const QString& mode, const QString& path,
        const QString& payload = {})
    {
        const passwd* nobody = ::getpwnam("nobody"); // checked in initTestCase
        m_process.setChildProcessModifier([uid = nobody->pw_uid, gid = nobody->pw_gid] {
            if (::setgroups(0, nullptr) != 0 || ::setgid(gid) != 0 || ::setuid(uid) != 0) {
                ::_exit(3);
            }
        });
        m_process.start(program, { mode, path, payload });
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
    // The build folder may be private to its owner (a clone in a private home): the foreign user
    // runs a copy kept in the shared folder.
    [[nodiscard]] QString foreignProgram() const
    {
        return m_dir.filePath(QStringLiteral("foreign"));
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(::getuid() == 0); // the foreign user needs a process of its own
        QVERIFY(::getpwnam("nobody"));
        openToEveryone(m_dir.path());
        QVERIFY(QFile::copy(QCoreApplication::applicationFilePath(), foreignProgram()));
        QVERIFY(QFile::setPermissions(foreignProgram(),
            QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadOther
                | QFile::ExeOther));
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
        ForeignProcess squatter(foreignProgram(), QStringLiteral("--listen"), path);
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
            ForeignProcess intruder(foreignProgram(), QStringLiteral("--send"), running.path(),
                QStringLiteral("parlevox://evil\n"));
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

int main(int argc, char* argv[])
{
    if (argc == 4 && argv[1][0] == '-' && argv[1][1] == '-') {
        return foreignHelper(argv[1], argv[2], argv[3]);
    }
    QCoreApplication application(argc, argv);
    tst_LinkHandoff test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_linkhandoff.moc"
