#pragma once

#include "gladia.h"
#include "mix/livefeed.h"

#include <QByteArray>
#include <QObject>
#include <QSet>
#include <QString>
#include <QTimer>
#include <QUrl>
#include <atomic>
#include <chrono>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>

class QJsonObject;
class QWebSocket;

// The transcript while the meeting runs: one Gladia live session fed with the two inputs as a
// 16 kHz stereo stream (channel 0 the microphone, channel 1 the call). Lives on the main thread;
// audio comes from any thread. Audio the service has not acknowledged is kept and sent again after
// a dropped connection, so a drop costs no words; a long meeting goes on in a new session, its
// times following on. When the live transcript cannot go on, `failed` says so once and the
// recording, kept elsewhere, is the fallback.
class LiveTranscription : public QObject, public LiveAudioConsumer
{
    Q_OBJECT

public:
    struct Service
    {
        QUrl base { QStringLiteral("https://api.gladia.io") };
        std::chrono::milliseconds firstRetry { 300 }; // doubled after each failed reconnection
        std::chrono::milliseconds longestRetry { 2000 };
        int reconnections = 6; // in a row before giving up
        std::chrono::milliseconds stopWait { 15000 }; // for the last words after the stop
        // Of stream in one session: the service ends a session at 3 h, so a new one takes over
        // before, with the last words of the old one heard first.
        std::chrono::milliseconds longestSession { std::chrono::minutes(175) };
        // Audio waiting for the main thread, then audio waiting for its acknowledgment: 10 s and
        // 2 min of stream. Past either, the live transcript stops rather than eat memory.
        qint64 largestQueue = 10 * bytesPerSecond;
        qint64 largestBacklog = 120 * bytesPerSecond;
        qint64 largestMessage = 1024 * 1024; // a transcript message is a few hundred bytes
    };

    static constexpr qint64 bytesPerSecond = 16000 * 2 * 2;
    static constexpr qint64 frameBytes = bytesPerSecond / 10; // 100 ms per binary frame

    LiveTranscription(Gladia::Session session, Service service, QObject* parent = nullptr);
    explicit LiveTranscription(QObject* parent = nullptr);
    ~LiveTranscription() override;

    // Opens the session with `key`; the outcome comes as lines, `failed` or `finished`.
    void start(const QString& key);
    // Interleaved 16-bit little-endian stereo at 16 kHz. Any thread, never waits on the network;
    // must not be called once this object is being destroyed.
    void pushAudio(QByteArrayView pcm) override;
    // The audio stopped coming before the stop (any thread): the live transcript says it stopped.
    void audioLost() override;
    // Sends what is left, asks for the last words and waits for them (bounded); `finished` ends it.
    void stop();

    // Final utterances in time order, `speaker` holding the channel.
    [[nodiscard]] const QList<Gladia::Segment>& lines() const { return m_lines; }
    // The newest utterance not final yet.
    [[nodiscard]] const std::optional<Gladia::Segment>& partial() const { return m_partial; }
    // "[mm:ss] Micro · …" lines, joined by line feeds; times count from `startsLater` seconds
    // into the stream (where the recording starts, when it left out a head of the stream).
    [[nodiscard]] QString transcript(double startsLater = 0) const;
    [[nodiscard]] static QString label(qint64 channel);
    // Why the live transcript stopped: RequestError::unauthorized for a refused key, a
    // CaptureError otherwise; null while it runs.
    [[nodiscard]] std::exception_ptr error() const { return m_error; }
    // Bytes of stream the service acknowledged, and pushed in all.
    [[nodiscard]] qint64 acknowledged() const { return m_acked; }
    [[nodiscard]] qint64 pushed() const { return m_total; }

Q_SIGNALS:
    void linesChanged();
    void partialChanged();
    // Once, with the sentence to show; the recording is not concerned.
    void failed(const QString& sentence);
    // After `stop`: whether every byte was acknowledged and the service sent its last words.
    void finished(bool complete);

private:
    void openSession();
    void opened(const QUrl& url);
    [[nodiscard]] qint64 sessionEnd() const;
    void rollOver();
    void fail(std::exception_ptr error);
    void connectSocket();
    void onConnected();
    void onDisconnected();
    void onMessage(const QString& message);
    void onAcknowledged(const QJsonObject& data);
    void onTranscript(const QJsonObject& data);
    void drain();
    void send();
    void finish(bool lastWords);

    Gladia::Session m_session;
    Service m_service;
    QString m_key;
    QUrl m_url;
    std::unique_ptr<QWebSocket, void (*)(QWebSocket*)> m_socket;
    QTimer m_retry;
    QTimer m_stopWait;
    int m_failedReconnections = 0;
    bool m_connected = false;
    bool m_stopping = false;
    bool m_stopSent = false; // on the current connection
    bool m_rolling = false; // the session has all it takes; its last words are awaited
    bool m_done = false;

    // Filled by the audio threads, emptied by the main thread.
    std::mutex m_queueLock;
    QByteArray m_queue;
    bool m_drainPosted = false;
    std::atomic<bool> m_overflow = false;
    std::atomic<bool> m_lost = false;
    std::atomic<bool> m_accepting = true;

    // The stream from byte m_acked on: what the service may not have yet.
    QByteArray m_backlog;
    qint64 m_acked = 0;
    qint64 m_sessionStart = 0; // where the current session's stream begins in the whole one
    qint64 m_sent = 0; // on the current connection
    qint64 m_total = 0;

    QList<Gladia::Segment> m_lines;
    QSet<QString> m_finalIds;
    std::optional<Gladia::Segment> m_partial;
    QString m_partialId;
    std::exception_ptr m_error;
};
