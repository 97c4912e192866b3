#pragma once

#include "agentrecords.h"

#include <QObject>
#include <QString>
#include <optional>

class AgentWorkspaceState;

// What the integrations page reads and writes on the meeting session. The implementing QObject
// announces changes with the signals keyChanged(), agentAccessCodeChanged() and
// agentAccessChanged(), which the page follows.
class IntegrationsSession
{
public:
    virtual ~IntegrationsSession() = default;

    // The transcription key.
    [[nodiscard]] virtual const QString& key() const = 0;
    virtual void setKey(const QString& key) = 0;
    // The team access code that was last granted access.
    [[nodiscard]] virtual const QString& agentAccessCode() const = 0;
    virtual void setAgentAccessCode(const QString& code) = 0;
    // What the team server granted to that code; none before a check or after disconnecting.
    [[nodiscard]] virtual const std::optional<AgentAccess>& agentAccess() const = 0;
    virtual void setAgentAccess(std::optional<AgentAccess> access) = 0;
    // The agent workflow of the run.
    [[nodiscard]] virtual AgentWorkspaceState* agent() const = 0;

protected:
    IntegrationsSession() = default;
    IntegrationsSession(const IntegrationsSession&) = default;
    IntegrationsSession& operator=(const IntegrationsSession&) = default;
};

#define IntegrationsSession_iid "Parlevox.IntegrationsSession"
Q_DECLARE_INTERFACE(IntegrationsSession, IntegrationsSession_iid)
