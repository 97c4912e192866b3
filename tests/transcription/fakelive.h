#pragma once

#include "livetranscription.h"
#include "testhttpserver.h"

#include <QPointer>
#include <QStringList>
#include <QWebSocket>
#include <QWebSocketServer>

// The live service on loopback: answers the session POST with a socket address on itself, keeps
// the stream it received, acknowledges each frame and says what a test tells it to.
class FakeLive : public QObject
{
    Q_OBJECT

public:
    enum class OnStop
    {
        LastWords, // post_final_transcript
        Close, // close 1000
        Nothing,
    };

    FakeLive();

    // This service, retrying and waiting for the last words quickly.
    [[nodiscard]] LiveTranscription::Service service() const;
    void say(const QString& id, bool final, double start, int channel, const QString& text);
    // Ends the connection without a close frame; what was not acknowledged is lost.
    void drop();

    TestHttpServer http;
    QWebSocketServer sockets { QStringLiteral("fake"), QWebSocketServer::NonSecureMode };
    int sessionStatus = 201;
    bool acknowledge = true;
    OnStop onStop = OnStop::LastWords;
    QByteArray audio; // the session's stream as kept
    qint64 acked = 0;
    int connections = 0;
    QStringList texts; // text messages received
    QPointer<QWebSocket> socket;
};
