#include "testhttpserver.h"

#include <QFile>
#include <QPointer>
#include <QProcess>
#include <QSslCertificate>
#include <QSslKey>
#include <QSslServer>
#include <QSslSocket>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTimer>
#include <memory>
#include <optional>
#include <utility>

namespace {

struct ThrowAwayIdentity
{
    QSslCertificate certificate;
    QSslKey key;
};

// One certificate per test process: openssl is slow enough that a test making many servers notices.
const ThrowAwayIdentity& throwAwayIdentity()
{
    static const ThrowAwayIdentity identity = [] {
        QTemporaryDir dir;
        const QString keyPath = dir.filePath(QStringLiteral("key.pem"));
        const QString certPath = dir.filePath(QStringLiteral("cert.pem"));
        QProcess openssl;
        openssl.start(QStringLiteral("openssl"),
            { QStringLiteral("req"), QStringLiteral("-x509"), QStringLiteral("-newkey"),
                QStringLiteral("ec"), QStringLiteral("-pkeyopt"),
                QStringLiteral("ec_paramgen_curve:prime256v1"), QStringLiteral("-nodes"),
                QStringLiteral("-days"), QStringLiteral("2"), QStringLiteral("-subj"),
                QStringLiteral("/CN=127.0.0.1"), QStringLiteral("-addext"),
                QStringLiteral("subjectAltName=IP:127.0.0.1,DNS:localhost"),
                QStringLiteral("-keyout"), keyPath, QStringLiteral("-out"), certPath });
        if (!openssl.waitForFinished(30000) || openssl.exitCode() != 0) {
            qFatal("openssl could not make a test certificate: %s",
                openssl.readAllStandardError().constData());
        }
        QFile keyFile(keyPath);
        QFile certFile(certPath);
        if (!keyFile.open(QIODevice::ReadOnly) || !certFile.open(QIODevice::ReadOnly)) {
            qFatal("test certificate files missing");
        }
        return ThrowAwayIdentity { QSslCertificate(certFile.readAll(), QSsl::Pem),
            QSslKey(keyFile.readAll(), QSsl::Ec, QSsl::Pem) };
    }();
    return identity;
}

QByteArray reasonPhrase(int status)
{
    switch (status) {
    case 200:
        return "OK";
    case 201:
        return "Created";
    case 204:
        return "No Content";
    case 301:
        return "Moved Permanently";
    case 302:
        return "Found";
    case 400:
        return "Bad Request";
    case 401:
        return "Unauthorized";
    case 403:
        return "Forbidden";
    case 404:
        return "Not Found";
    case 500:
        return "Internal Server Error";
    default:
        return "Status";
    }
}

// Parses one complete request off the front of `buffer`, removing it; none while incomplete.
std::optional<RecordedRequest> takeRequest(QByteArray& buffer)
{
    const qsizetype headerEnd = buffer.indexOf("\r\n\r\n");
    if (headerEnd < 0) {
        return std::nullopt;
    }
    const QList<QByteArray> lines = buffer.left(headerEnd).split('\n');
    RecordedRequest request;
    const QList<QByteArray> requestLine = lines.value(0).trimmed().split(' ');
    request.method = requestLine.value(0);
    request.target = requestLine.value(1);
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QByteArray line = lines[i].endsWith('\r') ? lines[i].chopped(1) : lines[i];
        const qsizetype colon = line.indexOf(':');
        if (colon > 0) {
            request.headers.append({ line.left(colon), line.mid(colon + 1).trimmed() });
        }
    }
    qsizetype position = headerEnd + 4;
    if (request.header("Transfer-Encoding").toLower().contains("chunked")) {
        QByteArray body;
        while (true) {
            const qsizetype sizeEnd = buffer.indexOf("\r\n", position);
            if (sizeEnd < 0) {
                return std::nullopt;
            }
            bool ok = false;
            const qsizetype size
                = buffer.mid(position, sizeEnd - position).split(';').value(0).toLongLong(&ok, 16);
            if (!ok) {
                return std::nullopt;
            }
            const qsizetype chunkStart = sizeEnd + 2;
            if (buffer.size() < chunkStart + size + 2) {
                return std::nullopt;
            }
            if (size == 0) {
                const qsizetype trailerEnd = buffer.indexOf("\r\n", chunkStart);
                if (trailerEnd < 0) {
                    return std::nullopt;
                }
                position = trailerEnd + 2;
                break;
            }
            body.append(buffer.mid(chunkStart, size));
            position = chunkStart + size + 2;
        }
        request.body = body;
    } else {
        const qsizetype length = request.header("Content-Length").toLongLong();
        if (buffer.size() < position + length) {
            return std::nullopt;
        }
        request.body = buffer.mid(position, length);
        position += length;
    }
    buffer.remove(0, position);
    return request;
}

} // namespace

QByteArray RecordedRequest::header(QByteArrayView name) const
{
    for (const auto& [key, value] : headers) {
        if (key.compare(name, Qt::CaseInsensitive) == 0) {
            return value;
        }
    }
    return {};
}

ScriptedResponse ScriptedResponse::json(int status, QByteArray body)
{
    ScriptedResponse response;
    response.status = status;
    response.headers.append(qMakePair(QByteArray("Content-Type"), QByteArray("application/json")));
    response.body = std::move(body);
    return response;
}

TestHttpServer::TestHttpServer(Transport transport, QObject* parent)
    : QObject(parent)
    , m_transport(transport)
{
    if (transport == Transport::Tls) {
        const ThrowAwayIdentity& identity = throwAwayIdentity();
        auto* server = new QSslServer(this);
        m_serverTls = QSslConfiguration::defaultConfiguration();
        m_serverTls.setLocalCertificate(identity.certificate);
        m_serverTls.setPrivateKey(identity.key);
        m_serverTls.setPeerVerifyMode(QSslSocket::VerifyNone);
        server->setSslConfiguration(m_serverTls);
        m_server = server;
    } else {
        m_server = new QTcpServer(this);
    }
    connect(m_server, &QTcpServer::pendingConnectionAvailable, this, [this] {
        while (QTcpSocket* socket = m_server->nextPendingConnection()) {
            accept(socket);
        }
    });
    if (!m_server->listen(QHostAddress::LocalHost, 0)) {
        qFatal("test server cannot listen: %s", qPrintable(m_server->errorString()));
    }
}

TestHttpServer::~TestHttpServer() = default;

quint16 TestHttpServer::port() const
{
    return m_server->serverPort();
}

QUrl TestHttpServer::url(const QString& path) const
{
    QUrl url;
    url.setScheme(m_transport == Transport::Tls ? QStringLiteral("https") : QStringLiteral("http"));
    url.setHost(QStringLiteral("127.0.0.1"));
    url.setPort(port());
    url.setPath(path);
    return url;
}

void TestHttpServer::setHandler(std::function<ScriptedResponse(const RecordedRequest&)> handler)
{
    m_handler = std::move(handler);
}

void TestHttpServer::enqueue(ScriptedResponse response)
{
    m_queue.append(std::move(response));
}

QSslConfiguration TestHttpServer::clientTlsConfiguration() const
{
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    configuration.setCaCertificates({ throwAwayIdentity().certificate });
    return configuration;
}

void TestHttpServer::accept(QTcpSocket* socket)
{
    socket->setParent(this);
    m_pending.insert(socket, {});
    connect(socket, &QTcpSocket::readyRead, this, [this, socket] { readFrom(socket); });
    connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
        m_pending.remove(socket);
        m_held.removeAll(socket);
        socket->deleteLater();
    });
    if (socket->bytesAvailable() > 0) {
        readFrom(socket);
    }
}

void TestHttpServer::readFrom(QTcpSocket* socket)
{
    Q_EMIT bytesArrived();
    QByteArray& buffer = m_pending[socket];
    buffer.append(socket->readAll());
    while (std::optional<RecordedRequest> request = takeRequest(buffer)) {
        m_requests.append(*request);
        Q_EMIT requestReceived(*request);
        answer(socket, *request);
    }
}

void TestHttpServer::answer(QTcpSocket* socket, const RecordedRequest& request)
{
    ScriptedResponse response;
    if (m_handler) {
        response = m_handler(request);
    } else if (!m_queue.isEmpty()) {
        response = m_queue.takeFirst();
    } else {
        response.status = 500;
    }
    if (response.stall) {
        return;
    }
    if (response.hold) {
        m_held.append(socket);
        return;
    }
    if (response.delayMs > 0) {
        QPointer<QTcpSocket> guarded(socket);
        QTimer::singleShot(response.delayMs, this, [this, guarded, response] {
            if (guarded) {
                send(guarded, response);
            }
        });
    } else {
        send(socket, response);
    }
}

void TestHttpServer::answerHeld(const ScriptedResponse& response)
{
    const QList<QTcpSocket*> held = std::exchange(m_held, {});
    for (QTcpSocket* socket : held) {
        if (m_pending.contains(socket)) {
            send(socket, response);
        }
    }
}

void TestHttpServer::send(QTcpSocket* socket, const ScriptedResponse& response)
{
    if (socket->state() != QAbstractSocket::ConnectedState) {
        return;
    }
    QByteArray head = "HTTP/1.1 " + QByteArray::number(response.status) + ' '
        + reasonPhrase(response.status) + "\r\n";
    for (const auto& [name, value] : response.headers) {
        head += name + ": " + value + "\r\n";
    }
    const qint64 length = response.body.size() + response.filler;
    head += response.declareLength ? "Content-Length: " + QByteArray::number(length) + "\r\n\r\n"
                                   : QByteArray("Connection: close\r\n\r\n");
    if (response.dripMs > 0) {
        socket->write(head);
        auto* drip = new QTimer(socket);
        const QByteArray body = response.body;
        connect(
            drip, &QTimer::timeout, socket, [socket, drip, body, sent = qsizetype(0)]() mutable {
                if (sent < body.size()) {
                    socket->write(body.mid(sent++, 1));
                } else {
                    drip->stop();
                }
            });
        drip->start(response.dripMs);
        return;
    }
    socket->write(head + response.body);
    if (response.filler <= 0) {
        if (!response.declareLength) {
            socket->disconnectFromHost();
        }
        return;
    }
    // Streamed in pieces as the client takes them: the server never holds the whole body. A TLS
    // socket counts what waits to be encrypted and what waits to be sent apart.
    auto* tls = qobject_cast<QSslSocket*>(socket);
    auto pending = [socket, tls] {
        return socket->bytesToWrite() + (tls ? tls->encryptedBytesToWrite() : 0);
    };
    auto remaining = std::make_shared<qint64>(response.filler);
    auto topUp = [socket, remaining, pending, closeAtEnd = !response.declareLength] {
        static const QByteArray piece(256 * 1024, 'x');
        while (*remaining > 0 && pending() < 2 * piece.size()) {
            const qint64 size = std::min<qint64>(*remaining, piece.size());
            socket->write(piece.constData(), size);
            *remaining -= size;
        }
        if (*remaining == 0 && closeAtEnd && pending() == 0) {
            socket->disconnectFromHost();
        }
    };
    connect(socket, &QTcpSocket::bytesWritten, socket, topUp);
    if (tls) {
        connect(tls, &QSslSocket::encryptedBytesWritten, socket, topUp);
    }
    topUp();
}
