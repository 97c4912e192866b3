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

using namespace Qt::StringLiterals;

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
        const QString keyPath = dir.filePath(u"key.pem"_s);
        const QString certPath = dir.filePath(u"cert.pem"_s);
        QProcess openssl;
        openssl.start(u"openssl"_s,
            u"req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 -subj "
            "/CN=127.0.0.1 -addext subjectAltName=IP:127.0.0.1,DNS:localhost"_s.split(u' ')
                + QStringList { u"-keyout"_s, keyPath, u"-out"_s, certPath });
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
    static const QHash<int, QByteArray> phrases { { 200, "OK" }, { 201, "Created" },
        { 204, "No Content" }, { 301, "Moved Permanently" }, { 302, "Found" },
        { 400, "Bad Request" }, { 401, "Unauthorized" }, { 403, "Forbidden" }, { 404, "Not Found" },
        { 500, "Internal Server Error" } };
    return phrases.value(status, "Status");
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
    // The clients under test send whole bodies with a length, never chunks.
    const qsizetype position = headerEnd + 4;
    const qsizetype length = request.header("Content-Length").toLongLong();
    if (buffer.size() < position + length) {
        return std::nullopt;
    }
    request.body = buffer.mid(position, length);
    buffer.remove(0, position + length);
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
    response.headers.append(qMakePair("Content-Type"_ba, "application/json"_ba));
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
    url.setScheme(m_transport == Transport::Tls ? u"https"_s : u"http"_s);
    url.setHost(u"127.0.0.1"_s);
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
                                   : "Connection: close\r\n\r\n"_ba;
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
