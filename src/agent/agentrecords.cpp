#include "agentrecords.h"

#include "agentclient.h"
#include "agenthosts.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonParseError>

namespace {

[[noreturn]] void missing(QLatin1StringView key)
{
    throw AgentRecordError(
        QStringLiteral("La clé « %1 » manque ou n’a pas le type attendu.").arg(key));
}

QJsonValue required(const QJsonObject& object, QLatin1StringView key, QJsonValue::Type type)
{
    const QJsonValue value = object.value(key);
    if (value.type() != type) {
        missing(key);
    }
    return value;
}

QString requiredString(const QJsonObject& object, QLatin1StringView key)
{
    return required(object, key, QJsonValue::String).toString();
}

bool requiredBool(const QJsonObject& object, QLatin1StringView key)
{
    return required(object, key, QJsonValue::Bool).toBool();
}

AgentExecutor requiredExecutor(const QJsonObject& object, QLatin1StringView key)
{
    const std::optional<AgentExecutor> executor
        = AgentExecutor::fromWireValue(requiredString(object, key));
    if (!executor) {
        missing(key);
    }
    return *executor;
}

} // namespace

QJsonObject parseJsonObject(const QByteArray& json)
{
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(json, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject()) {
        throw AgentRecordError(QStringLiteral("La réponse n’est pas un objet JSON."));
    }
    return document.object();
}

std::optional<AgentExecutor> AgentExecutor::fromWireValue(QStringView wireValue)
{
    if (wireValue == u"devin") {
        return AgentExecutor(Kind::devin);
    }
    if (wireValue == u"computer_use") {
        return AgentExecutor(Kind::computerUse);
    }
    return std::nullopt;
}

QString AgentExecutor::wireValue() const
{
    return m_kind == Kind::devin ? QStringLiteral("devin") : QStringLiteral("computer_use");
}

QString AgentExecutor::name() const
{
    return m_kind == Kind::devin ? QStringLiteral("Devin") : QStringLiteral("H Computer Use");
}

QString AgentExecutor::sessionHost() const
{
    return m_kind == Kind::devin ? AgentHosts::devinSession() : AgentHosts::computerUseSession();
}

AgentClarification AgentClarification::fromJson(const QJsonValue& value)
{
    if (!value.isObject()) {
        throw AgentRecordError(QStringLiteral("Une précision n’est pas un objet JSON."));
    }
    const QJsonObject object = value.toObject();
    return AgentClarification { requiredString(object, QLatin1StringView("question")),
        requiredString(object, QLatin1StringView("answer")) };
}

QJsonObject AgentClarification::toJson() const
{
    return QJsonObject { { QStringLiteral("question"), question },
        { QStringLiteral("answer"), answer } };
}

AgentReview AgentReview::fromJson(const QJsonObject& object)
{
    const QJsonArray list
        = required(object, QLatin1StringView("clarifications"), QJsonValue::Array).toArray();
    QList<AgentClarification> clarifications;
    clarifications.reserve(list.size());
    for (const QJsonValue& entry : list) {
        clarifications.append(AgentClarification::fromJson(entry));
    }
    return AgentReview {
        .executor = requiredExecutor(object, QLatin1StringView("executor")),
        .destination = requiredString(object, QLatin1StringView("destination")),
        .title = requiredString(object, QLatin1StringView("title")),
        .task = requiredString(object, QLatin1StringView("task")),
        .quote = requiredString(object, QLatin1StringView("quote")),
        .clarifications = std::move(clarifications),
        .approval = requiredString(object, QLatin1StringView("approval")),
    };
}

bool AgentReview::usesTrello() const
{
    if (executor != AgentExecutor::Kind::computerUse) {
        return false;
    }
    const QUrl url(destination, QUrl::StrictMode);
    if (!url.isValid()) {
        return false;
    }
    const QString host = url.host();
    const QString board = AgentHosts::trelloBoard();
    return !host.isEmpty() && (host == board || host == QStringLiteral("www.") + board);
}

AgentPreparation AgentPreparation::askQuestion(QString question)
{
    return AgentPreparation(std::in_place_type<QString>, std::move(question));
}

AgentPreparation AgentPreparation::proposeReview(AgentReview review)
{
    return AgentPreparation(std::in_place_type<AgentReview>, std::move(review));
}

AgentPreparation AgentPreparation::fromJson(const QJsonObject& object)
{
    const QString status = requiredString(object, QLatin1StringView("status"));
    if (status == u"needs_clarification") {
        return askQuestion(requiredString(object, QLatin1StringView("question")));
    }
    if (status == u"ready") {
        return proposeReview(AgentReview::fromJson(object));
    }
    throw AgentClient::Failure(
        QStringLiteral("Le serveur n’a pas renvoyé de proposition exploitable."));
}

AgentExecution AgentExecution::fromJson(const QJsonObject& object)
{
    const AgentExecutor executor = requiredExecutor(object, QLatin1StringView("executor"));
    const QUrl url(requiredString(object, QLatin1StringView("url")), QUrl::StrictMode);
    if (!url.isValid()) {
        missing(QLatin1StringView("url"));
    }
    return AgentExecution { executor, url };
}

AgentAccess AgentAccess::fromJson(const QJsonObject& object)
{
    return AgentAccess {
        .planning = requiredBool(object, QLatin1StringView("planning")),
        .trello = requiredBool(object, QLatin1StringView("trello")),
        .devin = requiredBool(object, QLatin1StringView("devin")),
    };
}
