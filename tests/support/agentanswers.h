#pragma once

// What a loopback team server answers in the agent tests. Header only: it needs the agent's
// records, which the support library does not link.

#include "agentrecords.h"
#include "testhttpserver.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace agentanswers {

inline const QString trelloBoard = QStringLiteral("https://trello.com/b/q3/produit");

// A ready proposal with one answered question.
inline QJsonObject proposalJson(const QString& executor = QStringLiteral("computer_use"),
    const QString& destination = trelloBoard)
{
    return { { QStringLiteral("status"), QStringLiteral("ready") },
        { QStringLiteral("executor"), executor }, { QStringLiteral("destination"), destination },
        { QStringLiteral("title"), QStringLiteral("Relancer le client") },
        { QStringLiteral("task"), QStringLiteral("Créer une fiche de relance") },
        { QStringLiteral("quote"), QStringLiteral("On relance lundi.") },
        { QStringLiteral("clarifications"),
            QJsonArray { QJsonObject { { QStringLiteral("question"), QStringLiteral("Quand ?") },
                { QStringLiteral("answer"), QStringLiteral("Lundi") } } } },
        { QStringLiteral("approval"), QStringLiteral("approval-1") } };
}

inline ScriptedResponse jsonAnswer(const QJsonObject& body, int delayMs = 0, int status = 200)
{
    ScriptedResponse response
        = ScriptedResponse::json(status, QJsonDocument(body).toJson(QJsonDocument::Compact));
    response.delayMs = delayMs;
    return response;
}

inline ScriptedResponse questionAnswer(const QString& text, int delayMs = 0)
{
    return jsonAnswer({ { QStringLiteral("status"), QStringLiteral("needs_clarification") },
                          { QStringLiteral("question"), text } },
        delayMs);
}

inline ScriptedResponse executionAnswer(
    const QString& executor, const QString& link, int delayMs = 0)
{
    return jsonAnswer(
        { { QStringLiteral("executor"), executor }, { QStringLiteral("url"), link } }, delayMs);
}

inline ScriptedResponse accessAnswer(AgentAccess granted, int delayMs = 0)
{
    return jsonAnswer({ { QStringLiteral("planning"), granted.planning },
                          { QStringLiteral("trello"), granted.trello },
                          { QStringLiteral("devin"), granted.devin } },
        delayMs);
}

inline ScriptedResponse refusalAnswer(int status, const QString& message)
{
    return jsonAnswer({ { QStringLiteral("error"), message } }, 0, status);
}

} // namespace agentanswers
