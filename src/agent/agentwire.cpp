// The pure parts of the agent client: construction, failures, request bodies, address and link
// rules.
#include "agentclient.h"
#include "usertext.h"

#include <QJsonArray>
#include <QJsonDocument>

AgentClient::AgentClient(QUrl baseURL, QString accessCode, QNetworkAccessManager* session)
    : m_baseURL(std::move(baseURL))
    , m_accessCode(std::move(accessCode))
    , m_session(session)
{ }

AgentClient::Failure::Failure(
    QString message, std::optional<int> status, std::optional<QString> code)
    : Error(std::move(message))
    , m_status(status)
    , m_code(std::move(code))
{ }

QJsonObject AgentClient::Preparation::toJson() const
{
    QJsonArray list;
    for (const AgentClarification& clarification : clarifications) {
        list.append(clarification.toJson());
    }
    return QJsonObject { { QStringLiteral("task"), task },
        { QStringLiteral("transcript"), transcript }, { QStringLiteral("clarifications"), list } };
}

QByteArray AgentClient::Preparation::encode() const
{
    return QJsonDocument(toJson()).toJson(QJsonDocument::Compact);
}

QJsonObject AgentClient::Confirmation::toJson() const
{
    return QJsonObject { { QStringLiteral("approval"), approval },
        { QStringLiteral("confirmed"), confirmed } };
}

QByteArray AgentClient::Confirmation::encode() const
{
    return QJsonDocument(toJson()).toJson(QJsonDocument::Compact);
}

AgentClient::ErrorResponse AgentClient::ErrorResponse::fromJson(const QJsonObject& object)
{
    const QJsonValue error = object.value(QLatin1StringView("error"));
    if (!error.isString()) {
        throw AgentRecordError(
            QStringLiteral("La clé « error » manque ou n’a pas le type attendu."));
    }
    const QJsonValue code = object.value(QLatin1StringView("code"));
    if (code.isUndefined() || code.isNull()) {
        return ErrorResponse { error.toString(), std::nullopt };
    }
    if (!code.isString()) {
        throw AgentRecordError(QStringLiteral("La clé « code » n’a pas le type attendu."));
    }
    return ErrorResponse { error.toString(), code.toString() };
}

std::optional<QUrl> AgentClient::serverURL(const QString& text)
{
    const QUrl url(trimmedUserText(text), QUrl::StrictMode);
    if (!url.isValid() || url.host().isEmpty()) {
        return std::nullopt;
    }
    // A user name or password, even an empty one, must not be written at all; so must a query
    // or a fragment, even a bare "?" or "#".
    if (!url.userInfo().isNull() || url.hasQuery() || url.hasFragment()) {
        return std::nullopt;
    }
    const QString path = url.path(QUrl::FullyEncoded);
    if (!path.isEmpty() && path != u"/") {
        return std::nullopt;
    }
    const QString scheme = url.scheme();
    const QString host = url.host();
    const bool loopback = host == u"localhost" || host == u"127.0.0.1";
    if (scheme != u"https" && !(scheme == u"http" && loopback)) {
        return std::nullopt;
    }
    return url;
}

bool AgentClient::isAcceptableSessionLink(const QUrl& url, AgentExecutor executor)
{
    if (!url.isValid() || url.scheme() != u"https") {
        return false;
    }
    const QString host = url.host();
    if (host.isEmpty() || host != executor.sessionHost()) {
        return false;
    }
    // An "@" alone already writes an (empty) user name.
    if (!url.userInfo().isNull() || !url.userName().isEmpty()) {
        return false;
    }
    if (!url.password().isNull()) {
        return false;
    }
    return url.port() == -1 || url.port() == 443;
}

QUrl AgentClient::endpointURL(const QString& endpoint) const
{
    QUrl address = m_baseURL;
    QString path = address.path(QUrl::FullyEncoded);
    if (!path.endsWith(u'/')) {
        path += u'/';
    }
    address.setPath(path + QStringLiteral("api/") + endpoint, QUrl::TolerantMode);
    return address;
}
