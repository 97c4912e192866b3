#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QObject>
#include <QPair>
#include <QSslConfiguration>
#include <QUrl>
#include <functional>

class QTcpServer;
class QTcpSocket;

// One request as the server received it.
struct RecordedRequest
{
    QByteArray method;
    QByteArray target; // path and query as sent
    QList<QPair<QByteArray, QByteArray>> headers; // in order, names as sent
    QByteArray body;

    // The first header of that name, compared case-insensitively; empty when absent.
    [[nodiscard]] QByteArray header(QByteArrayView name) const;
};

// How the server answers one request.
struct ScriptedResponse
{
    int status = 200;
    QList<QPair<QByteArray, QByteArray>> headers; // Content-Length is added
    QByteArray body;
    int delayMs = 0; // wait before answering
    bool stall = false; // never answer, keep the connection open
    bool hold = false; // keep the request until answerHeld()
    qint64 filler = 0; // bytes of 'x' streamed after `body` as the connection drains
    bool declareLength = true; // false: no Content-Length, the body ends when the server closes
    int dripMs = 0; // send the body one byte at a time, this far apart

    [[nodiscard]] static ScriptedResponse json(int status, QByteArray body);
};

// An HTTP/1.1 server on 127.0.0.1 that plays an outside service in tests: it records every request
// and answers from a handler or a queue of scripted responses.
class TestHttpServer : public QObject
{
    Q_OBJECT

public:
    enum class Transport
    {
        Plain,
        Tls,
    };

    explicit TestHttpServer(Transport transport = Transport::Plain, QObject* parent = nullptr);
    ~TestHttpServer() override;

    [[nodiscard]] quint16 port() const;
    // http(s)://127.0.0.1:<port><path>
    [[nodiscard]] QUrl url(const QString& path = {}) const;

    void setHandler(std::function<ScriptedResponse(const RecordedRequest&)> handler);
    // Answers used in order when no handler is set; an empty queue answers 500.
    void enqueue(ScriptedResponse response);
    [[nodiscard]] QList<RecordedRequest> requests() const { return m_requests; }
    // Answers every request whose response said `hold`, in arrival order.
    void answerHeld(const ScriptedResponse& response);

    // TLS only: a client configuration that trusts exactly this server's throw-away certificate.
    [[nodiscard]] QSslConfiguration clientTlsConfiguration() const;

Q_SIGNALS:
    void requestReceived(const RecordedRequest& request);
    // Request bytes arrived on a connection (decrypted ones, for TLS).
    void bytesArrived();

private:
    void accept(QTcpSocket* socket);
    void readFrom(QTcpSocket* socket);
    void answer(QTcpSocket* socket, const RecordedRequest& request);
    void send(QTcpSocket* socket, const ScriptedResponse& response);

    Transport m_transport;
    QTcpServer* m_server = nullptr;
    QSslConfiguration m_serverTls;
    std::function<ScriptedResponse(const RecordedRequest&)> m_handler;
    QList<ScriptedResponse> m_queue;
    QList<RecordedRequest> m_requests;
    QHash<QTcpSocket*, QByteArray> m_pending;
    QList<QTcpSocket*> m_held;
};
