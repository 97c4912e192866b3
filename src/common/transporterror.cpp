#include "transporterror.h"

TransportError::TransportError(Kind kind, QString message)
    : PlatformError(std::move(message))
    , m_kind(kind)
{ }

QString spokenDuration(std::chrono::milliseconds duration)
{
    const qint64 seconds = std::max<qint64>(1, (duration.count() + 500) / 1000);
    if (seconds < 60) {
        return QStringLiteral("%1 s").arg(seconds);
    }
    if (seconds % 60 == 0) {
        return QStringLiteral("%1 min").arg(seconds / 60);
    }
    return QStringLiteral("%1 min %2 s").arg(seconds / 60).arg(seconds % 60);
}

TransportError TransportError::fromReply(
    QNetworkReply::NetworkError error, const QString& peer, const QString& host)
{
    switch (error) {
    case QNetworkReply::ConnectionRefusedError:
        return TransportError(Kind::Refused,
            QStringLiteral("Connexion refusée par %1 : aucun service n’écoute à cette adresse.")
                .arg(peer));
    case QNetworkReply::RemoteHostClosedError:
        return TransportError(Kind::Closed,
            QStringLiteral("Connexion fermée par %1 avant la fin de la réponse.").arg(peer));
    case QNetworkReply::HostNotFoundError:
        return TransportError(Kind::HostNotFound,
            QStringLiteral("Adresse de %1 introuvable (« %2 ») : vérifiez l’adresse et la "
                           "connexion au réseau.")
                .arg(peer, host));
    case QNetworkReply::TimeoutError:
        return TransportError(
            Kind::Stalled, QStringLiteral("Délai dépassé : %1 ne répond plus.").arg(peer));
    case QNetworkReply::OperationCanceledError:
        return cancelled();
    case QNetworkReply::SslHandshakeFailedError:
        return TransportError(Kind::Certificate,
            QStringLiteral("Certificat de %1 refusé : la connexion n’est pas sûre.").arg(peer));
    case QNetworkReply::TemporaryNetworkFailureError:
    case QNetworkReply::NetworkSessionFailedError:
    case QNetworkReply::UnknownNetworkError:
        return TransportError(Kind::Unreachable,
            QStringLiteral("Impossible de joindre %1 : vérifiez la connexion au réseau.")
                .arg(peer));
    case QNetworkReply::ProxyConnectionRefusedError:
    case QNetworkReply::ProxyConnectionClosedError:
    case QNetworkReply::ProxyNotFoundError:
    case QNetworkReply::ProxyTimeoutError:
    case QNetworkReply::ProxyAuthenticationRequiredError:
    case QNetworkReply::UnknownProxyError:
        return TransportError(Kind::Proxy,
            QStringLiteral("Impossible de joindre %1 : le serveur mandataire a refusé ou coupé "
                           "la connexion.")
                .arg(peer));
    default:
        return TransportError(Kind::Other,
            QStringLiteral("Échange avec %1 impossible (erreur réseau %2).")
                .arg(peer)
                .arg(int(error)));
    }
}

TransportError TransportError::stalled(const QString& peer, std::chrono::milliseconds quiet)
{
    return TransportError(Kind::Stalled,
        QStringLiteral("Délai dépassé : %1 ne répond plus depuis %2.")
            .arg(peer, spokenDuration(quiet)));
}

TransportError TransportError::tooSlow(const QString& peer, std::chrono::milliseconds deadline)
{
    return TransportError(Kind::TooSlow,
        QStringLiteral("Délai dépassé : l’échange avec %1 est trop lent, abandonné après %2.")
            .arg(peer, spokenDuration(deadline)));
}

TransportError TransportError::cancelled()
{
    return TransportError(Kind::Cancelled, QStringLiteral("Opération annulée."));
}
