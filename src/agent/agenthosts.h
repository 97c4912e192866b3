#pragma once

#include <QString>

// The outside web hosts the agent feature trusts, kept in one place.
struct AgentHosts
{
    // The one host under which a Devin session may be opened.
    [[nodiscard]] static QString devinSession() { return QStringLiteral("app.devin.ai"); }
    // The one host under which a computer-use session may be opened.
    [[nodiscard]] static QString computerUseSession()
    {
        return QStringLiteral("platform.hcompany.ai");
    }
    // The board web host; a destination on it (bare or with "www.") is a board link.
    [[nodiscard]] static QString trelloBoard() { return QStringLiteral("trello.com"); }
};
