#include "httpexchange.h"

#include "deletelater.h"
#include "transporterror.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QPointer>
#include <QTimer>
#include <algorithm>
#include <coroutine>
#include <memory>

namespace {

// Bytes Qt may hold for the reply before it stops reading the socket: the answer is taken from
// it as it arrives, so this bounds what sits between the wire and the limit check.
constexpr qint64 replyBuffer = 256 * 1024;

// One exchange in flight. The awaiting coroutine is resumed from the event loop, never from
// inside a signal of the reply: whatever the run does next (even dropping the last reference to
// the manager) then happens while no Qt code of the reply is on the stack.
class Transfer : public QObject
{
public:
    enum class Abandoned
    {
        No,
        TooLarge,
        Stalled,
        TooSlow,
        Stopped,
    };

    explicit Transfer(ExchangeLimits limits)
        : m_limits(limits)
    {
        m_stall.setSingleShot(true);
        m_deadline.setSingleShot(true);
        connect(&m_stall, &QTimer::timeout, this, [this] { abandon(Abandoned::Stalled); });
        connect(&m_deadline, &QTimer::timeout, this, [this] { abandon(Abandoned::TooSlow); });
    }

    ~Transfer() override { delete m_reply.data(); }

    void start(QNetworkReply* reply)
    {
        m_reply = reply;
        reply->setReadBufferSize(replyBuffer);
        connect(reply, &QNetworkReply::metaDataChanged, this, [this] {
            const QVariant length = m_reply->header(QNetworkRequest::ContentLengthHeader);
            if (length.isValid() && length.toLongLong() > m_limits.largestAnswer) {
                abandon(Abandoned::TooLarge);
            }
        });
        connect(reply, &QIODevice::readyRead, this, [this] {
            progress();
            take();
        });
        connect(reply, &QNetworkReply::uploadProgress, this, [this] { progress(); });
        connect(reply, &QNetworkReply::downloadProgress, this, [this] { progress(); });
        connect(reply, &QNetworkReply::finished, this, [this] { settle(); });
        m_stall.start(m_limits.stall);
        m_deadline.start(m_limits.deadline);
        if (reply->isFinished()) {
            settle();
        }
    }

    // Ends the exchange early; the reply's finished signal then settles it.
    void abandon(Abandoned why)
    {
        if (m_settled || m_abandoned != Abandoned::No || !m_reply) {
            return;
        }
        m_abandoned = why;
        m_reply->abort();
        if (!m_settled) {
            settle();
        }
    }

    [[nodiscard]] bool settled() const { return m_settled; }
    void resumeWhenSettled(std::coroutine_handle<> waiter) { m_waiter = waiter; }

    [[nodiscard]] ExchangeAnswer outcome(const QString& peer) const
    {
        switch (m_abandoned) {
        case Abandoned::TooLarge:
            return ExchangeAnswer { ExchangeAnswer::Kind::TooLarge, 0, {} };
        case Abandoned::Stalled:
            throw TransportError::stalled(peer, m_limits.stall);
        case Abandoned::TooSlow:
            throw TransportError::tooSlow(peer, m_limits.deadline);
        case Abandoned::Stopped:
            throw TransportError::cancelled();
        case Abandoned::No:
            break;
        }
        const QNetworkReply::NetworkError error = m_reply->error();
        // Connection, time-out, TLS, cancellation: whatever began of an answer is incomplete.
        if (error > QNetworkReply::NoError && error <= QNetworkReply::UnknownNetworkError) {
            throw TransportError::fromReply(error, peer, m_reply->url().host());
        }
        const QVariant status = m_reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
        if (!status.isValid()) {
            if (error != QNetworkReply::NoError) {
                throw TransportError::fromReply(error, peer, m_reply->url().host());
            }
            return ExchangeAnswer { ExchangeAnswer::Kind::NotHttp, 0, {} };
        }
        return ExchangeAnswer { ExchangeAnswer::Kind::Http, status.toInt(), m_body };
    }

private:
    void progress()
    {
        if (!m_settled) {
            m_stall.start(m_limits.stall);
        }
    }

    void take()
    {
        if (m_settled || m_abandoned != Abandoned::No) {
            return;
        }
        const QByteArray chunk = m_reply->readAll();
        if (m_body.size() + chunk.size() > m_limits.largestAnswer) {
            m_body.clear();
            m_body.squeeze();
            abandon(Abandoned::TooLarge);
            return;
        }
        m_body += chunk;
    }

    void settle()
    {
        if (m_settled) {
            return;
        }
        take();
        m_settled = true;
        m_stall.stop();
        m_deadline.stop();
        if (m_abandoned == Abandoned::TooLarge) {
            m_body = QByteArray();
        }
        if (m_waiter) {
            QMetaObject::invokeMethod(
                this, [waiter = m_waiter] { waiter.resume(); }, Qt::QueuedConnection);
        }
    }

    ExchangeLimits m_limits;
    QPointer<QNetworkReply> m_reply;
    QTimer m_stall;
    QTimer m_deadline;
    QByteArray m_body;
    Abandoned m_abandoned = Abandoned::No;
    bool m_settled = false;
    std::coroutine_handle<> m_waiter;
};

struct Settled
{
    Transfer* transfer;

    [[nodiscard]] bool await_ready() const { return transfer->settled(); }
    void await_suspend(std::coroutine_handle<> waiter) { transfer->resumeWhenSettled(waiter); }
    void await_resume() const { }
};

} // namespace

bool fitsInHeader(const QString& value)
{
    return std::none_of(value.cbegin(), value.cend(),
        [](QChar c) { return (c.unicode() < 0x20 && c != u'\t') || c.unicode() == 0x7f; });
}

QCoro::Task<ExchangeAnswer> exchange(QNetworkAccessManager* manager, QNetworkRequest request,
    std::optional<QByteArray> body, ExchangeLimits limits, QString peer, std::stop_token stop)
{
    if (stop.stop_requested()) {
        throw TransportError::cancelled();
    }
    // Our own no-progress timer: Qt's reports a stall as a cancellation.
    request.setTransferTimeout(0);
    const std::unique_ptr<Transfer, DeleteLater> transfer(new Transfer(limits));
    transfer->start(body ? manager->post(request, *body) : manager->get(request));
    {
        // The stop may come from any thread; the transfer is only touched on its own.
        std::stop_callback abortOnStop(stop, [raw = transfer.get()] {
            QMetaObject::invokeMethod(
                raw, [raw] { raw->abandon(Transfer::Abandoned::Stopped); }, Qt::QueuedConnection);
        });
        co_await Settled { transfer.get() };
    }
    co_return transfer->outcome(peer);
}
