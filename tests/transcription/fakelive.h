#pragma once

#include "livetranscription.h"
#include "testhttpserver.h"

#include <QPointer>
#include <QStringList>
#include <QWebSocket>
#include <QWebSocketServer>

// The live service on loopback: answers the session POST with a socket address on itself, keeps
// the stream it received, acknowledges each frame and says what a test tells it to, or, when it
// hears, one utterance per loud span of each channel (it knows no words: a fixed text a channel),
// a partial once loud for 0.3 s, the final after 0.5 s of quiet or at the stop.
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
    [[nodiscard]] static QString heard(int channel);
    // Ends the connection without a close frame; what was not acknowledged is lost.
    void drop();

    TestHttpServer http;
    QWebSocketServer sockets { QStringLiteral("fake"), QWebSocketServer::NonSecureMode };
    int sessionStatus = 201;
    bool acknowledge = true;
    OnStop onStop = OnStop::LastWords;
    bool hears = false;
    QByteArray audio; // the stream as kept, every session one after the other
    qint64 sessionStart = 0; // in `audio`, of the last session
    qint64 acked = 0; // of the last session
    int sessions = 0;
    int connections = 0;
    int finals = 0; // utterances said as final, when it hears
    QStringList texts; // text messages received
    QPointer<QWebSocket> socket;

private:
    void hear();
    void step(int channel, bool loud);
    void endSpan(int channel);

    struct Span
    {
        QString id;
        qint64 start = 0; // windows of 100 ms into the session
        int loud = 0;
        int quiet = 0;
    };
    qint64 m_heard = 0; // bytes of the session heard, in whole windows
    std::optional<Span> m_spans[2];
    int m_utterances = 0;
};
