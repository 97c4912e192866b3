#include "linkhandoff.h"

#include <QLocalSocket>
#include <QStandardPaths>
#include <unistd.h>

namespace {

constexpr int handOffMilliseconds = 1000;
constexpr qint64 largestLink = 64 * 1024;

} // namespace

LinkHandoff::LinkHandoff(QString name, QObject* parent)
    : QObject(parent)
    , m_name(std::move(name))
{
    connect(&m_server, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket* socket = m_server.nextPendingConnection()) {
            connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
            connect(socket, &QLocalSocket::readyRead, this, [this, socket] { readFrom(socket); });
        }
    });
}

QString LinkHandoff::defaultName()
{
    return QStringLiteral("parlevox-%1").arg(::getuid());
}

bool LinkHandoff::handOff(const QUrl& link) const
{
    QLocalSocket socket;
    socket.connectToServer(m_name);
    if (!socket.waitForConnected(handOffMilliseconds)) {
        return false;
    }
    socket.write(link.toEncoded() + '\n');
    const bool sent = socket.waitForBytesWritten(handOffMilliseconds);
    socket.disconnectFromServer();
    return sent;
}

bool LinkHandoff::listen()
{
    m_server.setSocketOptions(QLocalServer::UserAccessOption);
    if (m_server.listen(m_name)) {
        return true;
    }
    // A socket left by a process that died: nobody answered handOff, so take it over.
    QLocalServer::removeServer(m_name);
    return m_server.listen(m_name);
}

void LinkHandoff::readFrom(QLocalSocket* socket)
{
    while (socket->canReadLine()) {
        const QByteArray line = socket->readLine(largestLink).trimmed();
        if (line.isEmpty()) {
            Q_EMIT launchedAgain();
            continue;
        }
        const QUrl link = QUrl::fromEncoded(line, QUrl::StrictMode);
        if (link.isValid()) {
            Q_EMIT linkReceived(link);
        }
    }
    if (socket->bytesAvailable() > largestLink) {
        socket->abort();
    }
}
