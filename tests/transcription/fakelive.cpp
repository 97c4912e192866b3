#include "fakelive.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QtEndian>
#include <cmath>

namespace {

constexpr qint64 window = LiveTranscription::bytesPerSecond / 10;

} // namespace

FakeLive::FakeLive()
{
    sockets.listen(QHostAddress::LocalHost);
    http.setHandler([this](const RecordedRequest&) {
        if (sessionStatus == 201) {
            ++sessions;
            sessionStart = audio.size();
            acked = 0;
            m_heard = 0;
            m_spans[0].reset();
            m_spans[1].reset();
        }
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
            hear();
        });
        connect(socket, &QWebSocket::textMessageReceived, this, [this](const QString& text) {
            texts.append(text);
            if (hears) {
                endSpan(0);
                endSpan(1);
            }
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
    audio.truncate(sessionStart + acked);
}

QString FakeLive::heard(int channel)
{
    return channel == 0 ? QStringLiteral("Bonjour, ici le micro.")
                        : QStringLiteral("Et voici l’appel.");
}

void FakeLive::hear()
{
    while (hears && audio.size() - sessionStart - m_heard >= window) {
        const char* pcm = audio.constData() + sessionStart + m_heard;
        double power[2] = {};
        for (qint64 i = 0; i < window / 2; ++i) {
            const double sample = qFromLittleEndian<qint16>(pcm + 2 * i);
            power[i % 2] += sample * sample;
        }
        for (const int channel : { 0, 1 }) {
            step(channel, std::sqrt(power[channel] / double(window / 4)) / 32768 > 0.05);
        }
        m_heard += window;
    }
}

void FakeLive::step(int channel, bool loud)
{
    std::optional<Span>& span = m_spans[channel];
    if (!span) {
        if (loud) {
            span = Span { QStringLiteral("u%1").arg(++m_utterances), m_heard / window, 1, 0 };
        }
        return;
    }
    span->quiet = loud ? 0 : span->quiet + 1;
    if (loud && ++span->loud == 3) {
        say(span->id, false, double(span->start) / 10, channel, QStringLiteral("Bonjour…"));
    }
    if (span->quiet == 5) {
        endSpan(channel);
    }
}

void FakeLive::endSpan(int channel)
{
    if (const std::optional<Span> span = std::exchange(m_spans[channel], std::nullopt)) {
        say(span->id, true, double(span->start) / 10, channel, heard(channel));
        ++finals;
    }
}
