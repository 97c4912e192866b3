#include "integrationsrequest.h"

#include "agentclient.h"

#include <QUrlQuery>

IntegrationsRequest::IntegrationsRequest(IntegrationsPage page, std::optional<QUrl> suggestedServer)
    : m_id(QUuid::createUuid())
    , m_page(page)
    , m_suggestedServer(std::move(suggestedServer))
{ }

std::optional<IntegrationsRequest> IntegrationsRequest::fromLink(const QUrl& url)
{
    if (!url.isValid()) {
        return std::nullopt;
    }
    if (url.scheme() != QLatin1String("parlevox") || url.host() != QLatin1String("connect")) {
        return std::nullopt;
    }
    // Absent, not merely empty: "parlevox://@connect" or "…#" still carry the part.
    if (!url.userInfo(QUrl::FullyEncoded).isNull() || url.port() != -1 || url.hasFragment()) {
        return std::nullopt;
    }
    if (!url.path().isEmpty() && url.path() != QLatin1String("/")) {
        return std::nullopt;
    }
    if (!url.hasQuery()) {
        return std::nullopt;
    }
    const QString query = url.query(QUrl::FullyEncoded);
    // Exactly one item: an '&' separates a second one, even an empty one.
    if (query.contains(QLatin1Char('&'))) {
        return std::nullopt;
    }
    const qsizetype equals = query.indexOf(QLatin1Char('='));
    if (equals < 0) {
        return std::nullopt;
    }
    const QString name = QUrl::fromPercentEncoding(query.left(equals).toUtf8());
    const QString value = QUrl::fromPercentEncoding(query.mid(equals + 1).toUtf8());
    if (name != QLatin1String("server") || value.isEmpty()) {
        return std::nullopt;
    }
    std::optional<QUrl> server = AgentClient::serverURL(value);
    if (!server) {
        return std::nullopt;
    }
    return IntegrationsRequest(IntegrationsPage::agent, std::move(server));
}
