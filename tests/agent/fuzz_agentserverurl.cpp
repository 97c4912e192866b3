// Feeds arbitrary text to the team site rule and the session link rule: no crash, no hang, and
// whatever is accepted keeps the promised shape and is accepted again once written out.
#include "agentclient.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QString text
        = QString::fromUtf8(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));

    if (const std::optional<QUrl> url = AgentClient::serverURL(text)) {
        const bool loopback = url->host() == u"localhost" || url->host() == u"127.0.0.1";
        if (url->host().isEmpty() || url->hasQuery() || url->hasFragment()
            || !url->userInfo().isNull()
            || !(url->scheme() == u"https" || (url->scheme() == u"http" && loopback))) {
            std::abort();
        }
        // The address is stored as text and checked again later: it must survive that trip.
        if (AgentClient::serverURL(url->toString()) != url
            || AgentClient::serverURL(QString::fromUtf8(url->toEncoded())) != url) {
            std::abort();
        }
        const QUrl endpoint
            = AgentClient(*url, QString(), nullptr).endpointURL(QStringLiteral("agent-prepare"));
        if (endpoint.host() != url->host() || endpoint.path() != u"/api/agent-prepare") {
            std::abort();
        }
    }

    const QUrl link(text, QUrl::StrictMode);
    for (const AgentExecutor executor : { AgentExecutor(AgentExecutor::Kind::devin),
             AgentExecutor(AgentExecutor::Kind::computerUse) }) {
        if (AgentClient::isAcceptableSessionLink(link, executor)
            && (link.scheme() != u"https" || link.host() != executor.sessionHost())) {
            std::abort();
        }
    }
    return 0;
}
