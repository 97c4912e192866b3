#include "requesterror.h"

RequestError::RequestError(Kind kind, QString stage, int status, QString message)
    : Error(std::move(message))
    , m_kind(kind)
    , m_stage(std::move(stage))
    , m_status(status)
{ }

RequestError RequestError::http(const QString& stage, int status)
{
    return RequestError(Kind::Http, stage, status,
        QStringLiteral("Gladia · ") + stage + QStringLiteral(" impossible (HTTP ")
            + QString::number(status) + QStringLiteral(")."));
}

RequestError RequestError::invalidResponse(const QString& stage)
{
    return RequestError(Kind::InvalidResponse, stage, 0,
        QStringLiteral("Gladia · réponse illisible pendant ") + stage + QStringLiteral("."));
}

RequestError RequestError::unauthorized()
{
    return RequestError(Kind::Unauthorized, {}, 0,
        QStringLiteral("Gladia a refusé la clé API. Remplacez-la dans les réglages, puis relancez "
                       "la transcription."));
}

RequestError RequestError::unusableKey()
{
    return RequestError(Kind::Unauthorized, {}, 0,
        QStringLiteral(
            "La clé API Gladia contient un retour à la ligne ou un caractère de "
            "contrôle. Remplacez-la dans les réglages, puis relancez la transcription."));
}
