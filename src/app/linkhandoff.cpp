#include "linkhandoff.h"

#include <QDir>
#include <QFile>
#include <QLocalSocket>
#include <QTimer>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int handOffMilliseconds = 1000;
// A link of the integrations page is well under 2 KiB; anything longer is not one.
constexpr qint64 largestLine = 16 * 1024;
// A launch writes its line at once; a connection silent for longer is dropped.
constexpr int readMilliseconds = 2000;
// More launches at the same moment than anyone makes by hand.
constexpr int mostOpenConnections = 8;

// Whether the process at the other end of a connected local socket runs as this user.
bool peerIsThisUser(qintptr descriptor)
{
    ucred peer {};
    socklen_t size = sizeof(peer);
    if (descriptor < 0
        || ::getsockopt(int(descriptor), SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0) {
        return false;
    }
    return peer.uid == ::getuid();
}

// A real folder (not a link to one) owned by this user and closed to everyone else.
bool isPrivateFolder(const QString& path)
{
    struct stat status
    { };
    if (path.isEmpty() || ::lstat(QFile::encodeName(path).constData(), &status) != 0) {
        return false;
    }
    return S_ISDIR(status.st_mode) && status.st_uid == ::getuid() && (status.st_mode & 077) == 0;
}

QString privateFolderIn(const QString& temporaryDir)
{
    const QString usual
        = QDir(temporaryDir).filePath(QStringLiteral("parlevox-%1").arg(::getuid()));
    ::mkdir(QFile::encodeName(usual).constData(), 0700);
    if (isPrivateFolder(usual)) {
        return usual;
    }
    // Someone else holds that name: a folder of this run's own, so Parlevox still starts.
    QByteArray pattern = QFile::encodeName(usual) + "-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
        return {};
    }
    return QFile::decodeName(pattern);
}

} // namespace

LinkHandoff::LinkHandoff(QString path, QObject* parent)
    : QObject(parent)
    , m_path(std::move(path))
{
    connect(&m_server, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket* socket = m_server.nextPendingConnection()) {
            accept(socket);
        }
    });
}

QString LinkHandoff::defaultPath()
{
    return socketPath(qEnvironmentVariable("XDG_RUNTIME_DIR"), QDir::tempPath());
}

QString LinkHandoff::socketPath(const QString& runtimeDir, const QString& temporaryDir)
{
    const QString folder = isPrivateFolder(runtimeDir) ? runtimeDir : privateFolderIn(temporaryDir);
    return folder.isEmpty() ? QString() : QDir(folder).filePath(QStringLiteral("parlevox.socket"));
}

bool LinkHandoff::handOff(const QUrl& link) const
{
    if (m_path.isEmpty()) {
        return false;
    }
    QLocalSocket socket;
    socket.connectToServer(m_path);
    if (!socket.waitForConnected(handOffMilliseconds)) {
        return false;
    }
    // A listener of another user gets nothing, and this launch goes on by itself.
    if (!peerIsThisUser(socket.socketDescriptor())) {
        socket.abort();
        return false;
    }
    socket.write(link.toEncoded() + '\n');
    const bool sent = socket.waitForBytesWritten(handOffMilliseconds);
    socket.disconnectFromServer();
    return sent;
}

bool LinkHandoff::listen()
{
    if (m_path.isEmpty()) {
        return false;
    }
    // A socket left by a run of ours that died (nobody answered handOff) is taken over; anything
    // else at that path is left alone.
    struct stat status
    { };
    const QByteArray path = QFile::encodeName(m_path);
    if (::lstat(path.constData(), &status) == 0) {
        if (!S_ISSOCK(status.st_mode) || status.st_uid != ::getuid()) {
            return false;
        }
        ::unlink(path.constData());
    }
    m_server.setSocketOptions(QLocalServer::UserAccessOption);
    return m_server.listen(m_path);
}

void LinkHandoff::accept(QLocalSocket* socket)
{
    connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
    if (m_open >= mostOpenConnections || !peerIsThisUser(socket->socketDescriptor())) {
        socket->abort();
        socket->deleteLater();
        return;
    }
    ++m_open;
    socket->setReadBufferSize(largestLine);
    connect(socket, &QObject::destroyed, this, [this] { --m_open; });
    connect(socket, &QLocalSocket::readyRead, this, [this, socket] { readFrom(socket); });
    QTimer::singleShot(readMilliseconds, socket, [socket] { socket->abort(); });
    if (socket->bytesAvailable() > 0) {
        readFrom(socket);
    }
}

void LinkHandoff::readFrom(QLocalSocket* socket)
{
    // One line per connection, then it is closed: whatever follows is never read.
    if (!socket->canReadLine()) {
        if (socket->bytesAvailable() >= largestLine) {
            socket->abort();
        }
        return;
    }
    const QByteArray line = socket->readLine(largestLine + 1);
    socket->abort();
    if (!line.endsWith('\n')) {
        return;
    }
    const QByteArray text = line.trimmed();
    if (text.isEmpty()) {
        Q_EMIT launchedAgain();
        return;
    }
    const QUrl link = QUrl::fromEncoded(text, QUrl::StrictMode);
    if (link.isValid() && link.scheme() == QLatin1String("parlevox")) {
        Q_EMIT linkReceived(link);
    }
}
