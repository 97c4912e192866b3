#pragma once

#include "integrationssession.h"
#include "meetingsession.h"

#include <QObject>

// The meeting session as the integrations page reads and writes it.
class SessionIntegrations : public QObject, public IntegrationsSession
{
    Q_OBJECT
    Q_INTERFACES(IntegrationsSession)

public:
    explicit SessionIntegrations(MeetingSession* session, QObject* parent = nullptr);

    [[nodiscard]] const QString& key() const override { return m_session->key(); }
    void setKey(const QString& key) override { m_session->setKey(key); }
    [[nodiscard]] const QString& agentAccessCode() const override
    {
        return m_session->agentAccessCode();
    }
    void setAgentAccessCode(const QString& code) override { m_session->setAgentAccessCode(code); }
    [[nodiscard]] const std::optional<AgentAccess>& agentAccess() const override
    {
        return m_session->agentAccess();
    }
    void setAgentAccess(std::optional<AgentAccess> access) override
    {
        m_session->setAgentAccess(std::move(access));
    }
    [[nodiscard]] AgentWorkspaceState* agent() const override { return m_session->agent(); }

Q_SIGNALS:
    void keyChanged();
    void agentAccessCodeChanged();
    void agentAccessChanged();

private:
    MeetingSession* m_session;
};
