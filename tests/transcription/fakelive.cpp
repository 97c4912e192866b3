#include "fakelive.h"

#include <QJsonDocument>
#include <QJsonObject>

FakeLive::FakeLive()
{
    sockets.listen(QHostAddress::LocalHost);
    http.setHandler([this](const RecordedRequest&) {
        return ScriptedResponse::json(sessionStatus,
            R"({"id":"s1","url":"ws://127.0.0.1:)" + QByteArray::number(sockets.serverPort())
                + R"(/v2/live?token=t"})");
    });
    connect(&sockets, &QWebSocketServer::newConnection, this, [this] {
        socket = sockets.nextPendingConnection();
        socket->setParent(this);
        ++connections;
        connect(socket, &QWebSocket::binaryMessageReceived, this, [this](const QByteArray& frame) {
            audio.append(frame);
            if (acknowledge) {
                const QByteArray range
                    = QByteArray::number(acked) + ',' + QByteArray::number(acked + frame.size());
                socket->sendTextMessage(QString::fromLatin1(
                    R"({"type":"audio_chunk","acknowledged":true,"data":{"byte_range":[)" + range
                    + "]}}"));
                acked += frame.size();
            }
        });
        connect(socket, &QWebSocket::textMessageReceived, this, [this](const QString& text) {
            texts.append(text);
            if (onStop == OnStop::LastWords) {
                socket->sendTextMessage(QStringLiteral(R"({"type":"post_final_transcript"})"));
            } else if (onStop == OnStop::Close) {
                socket->close(QWebSocketProtocol::CloseCodeNormal);
            }
        });
    });
}

LiveTranscription::Service FakeLive::service() const
{
    LiveTranscription::Service service;
    service.base = http.url();
    service.firstRetry = std::chrono::milliseconds(20);
    service.longestRetry = std::chrono::milliseconds(50);
    service.stopWait = std::chrono::milliseconds(300);
    return service;
}

void FakeLive::say(const QString& id, bool final, double start, int channel, const QString& text)
{
    const QJsonObject utterance { { QStringLiteral("start"), start },
        { QStringLiteral("end"), start + 1 }, { QStringLiteral("channel"), channel },
        { QStringLiteral("text"), text } };
    const QJsonObject data { { QStringLiteral("id"), id }, { QStringLiteral("is_final"), final },
        { QStringLiteral("utterance"), utterance } };
    socket->sendTextMessage(QString::fromUtf8(QJsonDocument(
        QJsonObject { { QStringLiteral("type"), QStringLiteral("transcript") },
            { QStringLiteral("data"), data } }).toJson(QJsonDocument::Compact)));
}

void FakeLive::drop()
{
    socket->abort();
    audio.truncate(acked);
}
