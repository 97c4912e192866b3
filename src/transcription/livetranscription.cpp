#include "livetranscription.h"

#include "captureerror.h"
#include "error.h"
#include "httpexchange.h"
#include "requesterror.h"

#include <QCoroTask>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkProxyFactory>
#include <QNetworkRequest>
#include <QWebSocket>
#include <algorithm>
#include <cmath>

namespace {

const QString peer = QStringLiteral("Gladia");

QString stopped(const QString& why)
{
    return QStringLiteral("La transcription en direct s’est arrêtée ") + why
        + QStringLiteral(" ; l’enregistrement continue.");
}

const QString unreachable = stopped(QStringLiteral("car Gladia est injoignable"));
const QString unreadable = stopped(QStringLiteral("sur une réponse illisible de Gladia"));
const QString tooManySessions
    = stopped(QStringLiteral("car Gladia refuse d’ouvrir une session de plus"));
const QString lagging = stopped(QStringLiteral("car la connexion ne suit plus le son"));
const QString ended = stopped(QStringLiteral("car Gladia a fermé la session"));
const QString noSound = stopped(QStringLiteral("car le son ne lui parvient plus"));

std::exception_ptr sentence(const QString& text)
{
    return std::make_exception_ptr(CaptureError(text));
}

QByteArray sessionBody()
{
    const QJsonObject messages {
        { QStringLiteral("receive_partial_transcripts"), true },
        { QStringLiteral("receive_final_transcripts"), true },
        { QStringLiteral("receive_acknowledgments"), true },
        { QStringLiteral("receive_lifecycle_events"), true },
    };
    const QJsonObject body {
        { QStringLiteral("encoding"), QStringLiteral("wav/pcm") },
        { QStringLiteral("bit_depth"), 16 },
        { QStringLiteral("sample_rate"), 16000 },
        { QStringLiteral("channels"), 2 },
        { QStringLiteral("messages_config"), messages },
    };
    return QJsonDocument(body).toJson(QJsonDocument::Compact);
}

// A whole number that a double holds exactly, or nothing.
std::optional<qint64> wholeNumber(const QJsonValue& value)
{
    const double number = value.toDouble(std::nan(""));
    if (!std::isfinite(number) || number < 0 || number > 9e15 || std::trunc(number) != number) {
        return std::nullopt;
    }
    return static_cast<qint64>(number);
}

struct Opening
{
    QUrl url;
    std::exception_ptr error;
};

// POST /v2/live; the socket address or why there is none.
QCoro::Task<Opening> openSession(Gladia::Session session, QUrl endpoint, QString key)
{
    try {
        if (!fitsInHeader(key)) {
            throw RequestError::unusableKey();
        }
        QNetworkRequest request = session.keyedRequest(endpoint, key);
        request.setRawHeader("Content-Type", "application/json");
        ExchangeLimits limits;
        limits.largestAnswer = 64 * 1024;
        limits.deadline = std::chrono::milliseconds(30000);
        ExchangeAnswer answer;
        try {
            answer = co_await exchange(
                session.manager(), std::move(request), sessionBody(), limits, peer);
        } catch (const Error&) {
            throw CaptureError(unreachable);
        }
        if (answer.kind != ExchangeAnswer::Kind::Http) {
            throw CaptureError(unreadable);
        }
        if (answer.status == 401) {
            throw RequestError::unauthorized();
        }
        if (answer.status == 429) {
            throw CaptureError(tooManySessions);
        }
        if (answer.status < 200 || answer.status > 299) {
            throw CaptureError(stopped(QStringLiteral("(Gladia, HTTP %1)").arg(answer.status)));
        }
        const QJsonValue url = QJsonDocument::fromJson(answer.body).object().value(u"url");
        QUrl socket(url.toString(), QUrl::StrictMode);
        // Plain ws only when the service itself is reached in plain http (a local stand-in).
        const bool secure = endpoint.scheme() == QLatin1String("https");
        if (!url.isString() || !socket.isValid() || socket.host().isEmpty()
            || socket.scheme() != (secure ? QLatin1String("wss") : QLatin1String("ws"))) {
            throw CaptureError(unreadable);
        }
        co_return Opening { socket, {} };
    } catch (...) {
        co_return Opening { {}, std::current_exception() };
    }
}

void deleteSocket(QWebSocket* socket)
{
    if (socket) {
        socket->disconnect();
        socket->abort();
        socket->deleteLater();
    }
}

} // namespace

LiveTranscription::LiveTranscription(Gladia::Session session, Service service, QObject* parent)
    : QObject(parent)
    , m_session(std::move(session))
    , m_service(std::move(service))
    , m_socket(nullptr, deleteSocket)
{
    m_retry.setSingleShot(true);
    m_stopWait.setSingleShot(true);
    connect(&m_retry, &QTimer::timeout, this, &LiveTranscription::connectSocket);
    connect(&m_stopWait, &QTimer::timeout, this, [this] { finish(false); });
}

LiveTranscription::LiveTranscription(QObject* parent)
    : LiveTranscription(Gladia::Session(), Service(), parent)
{ }

LiveTranscription::~LiveTranscription() = default;

void LiveTranscription::start(const QString& key)
{
    m_key = key;
    openSession();
}

void LiveTranscription::openSession()
{
    QUrl endpoint = m_service.base;
    endpoint.setPath(QStringLiteral("/v2/live"));
    QCoro::connect(::openSession(m_session, endpoint, m_key), this, [this](const Opening& opening) {
        if (opening.error) {
            fail(opening.error);
        } else {
            opened(opening.url);
        }
    });
}

void LiveTranscription::opened(const QUrl& url)
{
    if (m_done) {
        return;
    }
    m_url = url;
    connectSocket();
}

void LiveTranscription::connectSocket()
{
    m_socket.reset(new QWebSocket(QString(), QWebSocketProtocol::VersionLatest));
    QWebSocket* socket = m_socket.get();
    socket->setMaxAllowedIncomingMessageSize(static_cast<quint64>(m_service.largestMessage));
    socket->setMaxAllowedIncomingFrameSize(static_cast<quint64>(m_service.largestMessage));
    if (m_session.tls()) {
        socket->setSslConfiguration(*m_session.tls());
    }
    // The proxy the session's HTTPS requests take: left to itself, the socket never takes the
    // environment's https_proxy.
    QUrl asked = m_url;
    asked.setScheme(
        m_url.scheme() == QLatin1String("wss") ? QStringLiteral("https") : QStringLiteral("http"));
    socket->setProxy(QNetworkProxyFactory::proxyForQuery(QNetworkProxyQuery(asked))
                         .value(0, QNetworkProxy(QNetworkProxy::NoProxy)));
    connect(socket, &QWebSocket::connected, this, &LiveTranscription::onConnected);
    connect(socket, &QWebSocket::disconnected, this, &LiveTranscription::onDisconnected);
    connect(socket, &QWebSocket::textMessageReceived, this, &LiveTranscription::onMessage);
    socket->open(m_url);
}

void LiveTranscription::onConnected()
{
    m_connected = true;
    m_failedReconnections = 0;
    m_stopSent = false;
    // Whatever was not acknowledged may be lost on the far side: all of it goes again.
    m_sent = m_acked;
    send();
}

void LiveTranscription::onDisconnected()
{
    const bool wasConnected = std::exchange(m_connected, false);
    // Qt reports 1000 also for a connection cut without a close frame; that one carries a socket
    // error (the peer closed first), a real close does not.
    const bool normal = m_socket->closeCode() == QWebSocketProtocol::CloseCodeNormal
        && m_socket->error() == QAbstractSocket::UnknownSocketError;
    if (m_done) {
        return;
    }
    if (wasConnected && normal) {
        if (m_rolling) {
            rollOver();
        } else if (m_stopping) {
            finish(true);
        } else {
            fail(sentence(ended));
        }
        return;
    }
    if (m_failedReconnections >= m_service.reconnections) {
        fail(sentence(unreachable));
        return;
    }
    auto delay = m_service.firstRetry * (1 << std::min(m_failedReconnections, 16));
    m_retry.start(std::min(delay, m_service.longestRetry));
    ++m_failedReconnections;
}

void LiveTranscription::pushAudio(QByteArrayView pcm)
{
    if (!m_accepting.load(std::memory_order_relaxed) || pcm.isEmpty()) {
        return;
    }
    bool post = false;
    {
        std::lock_guard lock(m_queueLock);
        if (m_queue.size() + pcm.size() > m_service.largestQueue) {
            m_overflow = true;
            m_accepting = false;
        } else {
            m_queue.append(pcm);
        }
        post = !std::exchange(m_drainPosted, true);
    }
    if (post) {
        QMetaObject::invokeMethod(this, &LiveTranscription::drain, Qt::QueuedConnection);
    }
}

void LiveTranscription::audioLost()
{
    m_lost = true;
    m_accepting = false;
    QMetaObject::invokeMethod(this, &LiveTranscription::drain, Qt::QueuedConnection);
}

void LiveTranscription::drain()
{
    QByteArray incoming;
    {
        std::lock_guard lock(m_queueLock);
        incoming.swap(m_queue);
        m_drainPosted = false;
    }
    if (m_done) {
        return;
    }
    if (m_lost) {
        fail(sentence(noSound));
        return;
    }
    if (m_overflow || m_backlog.size() + incoming.size() > m_service.largestBacklog) {
        fail(sentence(lagging));
        return;
    }
    m_backlog.append(incoming);
    m_total += incoming.size();
    send();
}

qint64 LiveTranscription::sessionEnd() const
{
    const qint64 bytes = m_service.longestSession.count() * bytesPerSecond / 1000;
    return m_sessionStart + std::max<qint64>(bytes / 4 * 4, 4);
}

void LiveTranscription::send()
{
    if (!m_connected || m_done) {
        return;
    }
    // Whole 100 ms frames while the meeting runs; the stop, or the session's end, flushes the
    // rest.
    const qint64 end = std::min(m_total, sessionEnd());
    const bool last = m_stopping || end == sessionEnd();
    while (end - m_sent >= frameBytes || (last && end > m_sent)) {
        const qint64 size = std::min(frameBytes, end - m_sent);
        m_socket->sendBinaryMessage(m_backlog.sliced(m_sent - m_acked, size));
        m_sent += size;
    }
    if (last && !std::exchange(m_stopSent, true)) {
        m_rolling = end == sessionEnd();
        m_socket->sendTextMessage(QStringLiteral(R"({"type":"stop_recording"})"));
    }
}

void LiveTranscription::rollOver()
{
    m_rolling = false;
    m_connected = false;
    m_socket.reset();
    // Utterance ids and times are the session's own.
    m_sessionStart = m_acked;
    m_finalIds.clear();
    if (std::exchange(m_partial, std::nullopt)) {
        m_partialId.clear();
        Q_EMIT partialChanged();
    }
    if (m_stopping && m_acked == m_total) {
        finish(true);
        return;
    }
    openSession();
}

void LiveTranscription::stop()
{
    if (m_stopping) {
        return;
    }
    m_accepting = false;
    drain();
    if (m_done) {
        Q_EMIT finished(false);
        return;
    }
    m_stopping = true;
    m_stopWait.start(m_service.stopWait);
    send();
}

void LiveTranscription::onMessage(const QString& message)
{
    const QJsonObject object = QJsonDocument::fromJson(message.toUtf8()).object();
    const QString type = object.value(u"type").toString();
    if (type == QLatin1String("audio_chunk")) {
        if (object.value(u"acknowledged").toBool(false)) {
            onAcknowledged(object.value(u"data").toObject());
        }
    } else if (type == QLatin1String("transcript")) {
        onTranscript(object.value(u"data").toObject());
    } else if (type == QLatin1String("post_final_transcript") && m_rolling) {
        rollOver();
    } else if (type == QLatin1String("post_final_transcript") && m_stopping) {
        finish(true);
    }
}

void LiveTranscription::onAcknowledged(const QJsonObject& data)
{
    const QJsonArray range = data.value(u"byte_range").toArray();
    if (range.size() != 2) {
        return;
    }
    // The session counts from its own first byte.
    std::optional<qint64> from = wholeNumber(range.at(0));
    std::optional<qint64> to = wholeNumber(range.at(1));
    if (!from || !to) {
        return;
    }
    *from += m_sessionStart;
    *to += m_sessionStart;
    // Only a range that joins what is acknowledged, and covers nothing unsent, moves it on.
    if (*from > m_acked || *to <= m_acked || *to > m_sent) {
        return;
    }
    m_backlog.remove(0, *to - m_acked);
    m_acked = *to;
}

void LiveTranscription::onTranscript(const QJsonObject& data)
{
    const QString id = data.value(u"id").toString();
    const QJsonObject utterance = data.value(u"utterance").toObject();
    const QJsonValue start = utterance.value(u"start");
    const QJsonValue text = utterance.value(u"text");
    const std::optional<qint64> channel = wholeNumber(utterance.value(u"channel"));
    if (id.isEmpty() || !data.value(u"is_final").isBool() || !start.isDouble() || !text.isString()
        || !channel || *channel > 1 || m_finalIds.contains(id)) {
        return;
    }
    const double before = double(m_sessionStart) / double(bytesPerSecond);
    Gladia::Segment segment { before + start.toDouble(), *channel, text.toString() };
    const bool partialGoes = m_partial && m_partialId == id;
    if (data.value(u"is_final").toBool()) {
        m_finalIds.insert(id);
        const auto at = std::upper_bound(m_lines.begin(), m_lines.end(), segment,
            [](const Gladia::Segment& a, const Gladia::Segment& b) { return a.start < b.start; });
        m_lines.insert(at, std::move(segment));
        Q_EMIT linesChanged();
        if (partialGoes) {
            m_partial.reset();
            m_partialId.clear();
            Q_EMIT partialChanged();
        }
        return;
    }
    m_partial = std::move(segment);
    m_partialId = id;
    Q_EMIT partialChanged();
}

QString LiveTranscription::label(qint64 channel)
{
    return channel == 0 ? QStringLiteral("Micro") : QStringLiteral("Audio de l’appel");
}

QString LiveTranscription::transcript(double startsLater) const
{
    QStringList lines;
    for (const Gladia::Segment& segment : m_lines) {
        lines.append(Gladia::line(std::max(0.0, segment.start - startsLater),
            label(segment.speaker.value_or(0)), segment.text));
    }
    return lines.join(u'\n');
}

void LiveTranscription::fail(std::exception_ptr error)
{
    if (m_done) {
        return;
    }
    m_error = error;
    m_accepting = false;
    const bool stopping = m_stopping;
    m_done = true;
    m_retry.stop();
    m_stopWait.stop();
    m_socket.reset();
    m_backlog.clear();
    Q_EMIT failed(describeError(error));
    if (stopping) {
        Q_EMIT finished(false);
    }
}

void LiveTranscription::finish(bool lastWords)
{
    if (m_done) {
        return;
    }
    m_done = true;
    m_retry.stop();
    m_stopWait.stop();
    if (m_socket && m_connected) {
        m_socket->disconnect(this);
        m_socket->close();
    }
    Q_EMIT finished(lastWords && m_acked == m_total);
}
