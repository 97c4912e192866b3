#include "agentclient.h"

#include "httpexchange.h"

#include <QCoreApplication>
#include <QMutex>
#include <QNetworkAccessManager>
#include <QNetworkRequest>
#include <QPointer>
#include <QThread>
#include <algorithm>
#include <memory>

namespace {

// A server's own error text, cut to what a status line can show.
QString shortened(const QString& text)
{
    if (text.size() <= AgentClient::longestErrorText) {
        return text;
    }
    return text.left(AgentClient::longestErrorText - 1).trimmed() + u'…';
}

template<typename Record> Record decodeAnswer(const QByteArray& body)
{
    try {
        return decodeRecord<Record>(body);
    } catch (const std::exception&) {
        throw AgentClient::Failure(QStringLiteral("Réponse de l’agent illisible."));
    }
}

} // namespace

QNetworkAccessManager* AgentClient::sharedSession()
{
    static QMutex mutex;
    static QPointer<QNetworkAccessManager> session;
    const QMutexLocker lock(&mutex);
    if (!session) {
        // No disk cache (none is set), cookies and credentials only in memory, redirects answered
        // as they are. It lives with the application, on the application thread.
        auto* manager = new QNetworkAccessManager;
        manager->setRedirectPolicy(QNetworkRequest::ManualRedirectPolicy);
        if (QCoreApplication* application = QCoreApplication::instance()) {
            manager->moveToThread(application->thread());
            manager->setParent(application);
        }
        session = manager;
    }
    return session;
}

AgentClient::Request AgentClient::request(const QString& endpoint, QByteArray body) const
{
    return Request { m_session, endpointURL(endpoint), m_accessCode, m_timeout, m_deadline,
        std::move(body) };
}

QCoro::Task<QByteArray> AgentClient::post(Request request)
{
    if (!fitsInHeader(request.accessCode)) {
        throw Failure(
            QStringLiteral("Le code d’accès de l’équipe contient des caractères invalides."));
    }
    QNetworkRequest outgoing(request.address);
    outgoing.setRawHeader("Content-Type", "application/json");
    outgoing.setRawHeader("Authorization", "Bearer " + request.accessCode.toUtf8());
    outgoing.setAttribute(
        QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);

    ExchangeLimits limits;
    limits.largestAnswer = largestAnswer;
    limits.stall = request.timeout;
    limits.deadline = request.deadline;
    QCoro::Task<ExchangeAnswer> pending = exchange(request.session, std::move(outgoing),
        std::move(request.body), limits, QStringLiteral("l’agent"));
    const ExchangeAnswer answer = co_await std::move(pending);
    if (answer.kind == ExchangeAnswer::Kind::TooLarge) {
        throw Failure(QStringLiteral("Réponse de l’agent illisible."));
    }
    if (answer.kind == ExchangeAnswer::Kind::NotHttp) {
        throw Failure(QStringLiteral("Réponse de l’agent indisponible."));
    }
    const int status = answer.status;
    const QByteArray& body = answer.body;
    if (status < 200 || status > 299) {
        std::optional<ErrorResponse> response;
        try {
            response = decodeRecord<ErrorResponse>(body);
        } catch (const std::exception&) {
            response.reset();
        }
        if (response) {
            throw Failure(shortened(response->error), status, response->code);
        }
        throw Failure(
            QStringLiteral("L’agent n’a pas confirmé la requête (HTTP %1).").arg(status), status);
    }
    co_return body;
}

QCoro::Task<AgentAccess> AgentClient::access() const
{
    const QByteArray body = co_await post(request(QStringLiteral("agent-access"), "{}"));
    co_return decodeAnswer<AgentAccess>(body);
}

QCoro::Task<AgentPreparation> AgentClient::prepare(
    QString task, QString transcript, QList<AgentClarification> clarifications) const
{
    const Preparation preparation { std::move(task), std::move(transcript),
        std::move(clarifications) };
    const QByteArray body
        = co_await post(request(QStringLiteral("agent-prepare"), preparation.encode()));
    co_return decodeAnswer<AgentPreparation>(body);
}

QCoro::Task<AgentExecution> AgentClient::launch(AgentReview review) const
{
    const Confirmation confirmation(review.approval);
    const QByteArray body
        = co_await post(request(QStringLiteral("agent-execute"), confirmation.encode()));
    const AgentExecution execution = decodeAnswer<AgentExecution>(body);
    if (execution.executor != review.executor
        || !isAcceptableSessionLink(execution.url, review.executor)) {
        throw Failure(QStringLiteral("Le service n’a pas renvoyé de lien de session valide."));
    }
    co_return execution;
}
