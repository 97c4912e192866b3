#include "sessionintegrations.h"

SessionIntegrations::SessionIntegrations(MeetingSession* session, QObject* parent)
    : QObject(parent)
    , m_session(session)
{
    connect(session, &MeetingSession::keyChanged, this, &SessionIntegrations::keyChanged);
    connect(session, &MeetingSession::agentAccessCodeChanged, this,
        &SessionIntegrations::agentAccessCodeChanged);
    connect(session, &MeetingSession::agentAccessChanged, this,
        &SessionIntegrations::agentAccessChanged);
}
