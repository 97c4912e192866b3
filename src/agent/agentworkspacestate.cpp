#include "agentworkspacestate.h"

#include "notify.h"
#include "usertext.h"

#include <QPointer>
#include <exception>

namespace {

std::optional<AgentClient::Failure> asFailure(const std::exception_ptr& error)
{
    try {
        std::rethrow_exception(error);
    } catch (const AgentClient::Failure& failure) {
        return failure;
    } catch (...) {
        return std::nullopt;
    }
}

} // namespace

AgentWorkspaceState::AgentWorkspaceState(QObject* parent)
    : QObject(parent)
{ }

void AgentWorkspaceState::setRequest(const QString& request)
{
    assignAndNotify(this, m_request, request, &AgentWorkspaceState::requestChanged);
}

void AgentWorkspaceState::setExcerpt(const QString& excerpt)
{
    assignAndNotify(this, m_excerpt, excerpt, &AgentWorkspaceState::excerptChanged);
}

void AgentWorkspaceState::setAnswer(const QString& answer)
{
    assignAndNotify(this, m_answer, answer, &AgentWorkspaceState::answerChanged);
}

void AgentWorkspaceState::setPreparation(std::optional<AgentPreparation> preparation)
{
    m_preparation = std::move(preparation);
    Q_EMIT preparationChanged();
}

void AgentWorkspaceState::setExecution(std::optional<AgentExecution> execution)
{
    m_execution = std::move(execution);
    Q_EMIT executionChanged();
}

void AgentWorkspaceState::setClarifications(QList<AgentClarification> clarifications)
{
    m_clarifications = std::move(clarifications);
    Q_EMIT clarificationsChanged();
}

void AgentWorkspaceState::setError(const QString& error)
{
    assignAndNotify(this, m_error, error, &AgentWorkspaceState::errorChanged);
}

void AgentWorkspaceState::setNeedsAccess(bool needsAccess)
{
    assignAndNotify(this, m_needsAccess, needsAccess, &AgentWorkspaceState::needsAccessChanged);
}

void AgentWorkspaceState::setTrelloSetupRequired(bool required)
{
    assignAndNotify(
        this, m_trelloSetupRequired, required, &AgentWorkspaceState::trelloSetupRequiredChanged);
}

void AgentWorkspaceState::setBusy(bool busy)
{
    assignAndNotify(this, m_busy, busy, &AgentWorkspaceState::busyChanged);
}

QString AgentWorkspaceState::question() const
{
    const QString* asked = m_preparation ? m_preparation->question() : nullptr;
    return asked ? *asked : QString();
}

QVariant AgentWorkspaceState::reviewValue() const
{
    const AgentReview* review = m_preparation ? m_preparation->review() : nullptr;
    return review ? QVariant::fromValue(*review) : QVariant();
}

QVariant AgentWorkspaceState::executionValue() const
{
    return m_execution ? QVariant::fromValue(*m_execution) : QVariant();
}

QVariantList AgentWorkspaceState::clarificationValues() const
{
    QVariantList values;
    values.reserve(m_clarifications.size());
    for (const AgentClarification& clarification : m_clarifications) {
        values.append(QVariant::fromValue(clarification));
    }
    return values;
}

void AgentWorkspaceState::invalidateReview()
{
    setPreparation(std::nullopt);
    setClarifications({});
    setAnswer({});
    setError({});
    setNeedsAccess(false);
    setTrelloSetupRequired(false);
}

void AgentWorkspaceState::newRecording()
{
    invalidateReview();
    setRequest({});
    setExcerpt({});
    setExecution(std::nullopt);
}

QCoro::Task<> AgentWorkspaceState::prepare(AgentClient client, std::optional<QString> question)
{
    const QString task = trimmedUserText(m_request);
    const QString transcript = trimmedUserText(m_excerpt);
    if (m_busy || (task.isEmpty() && transcript.isEmpty())) {
        co_return;
    }
    QList<AgentClarification> list = m_clarifications;
    if (question) {
        list.append(AgentClarification { *question, trimmedUserText(m_answer) });
    }
    setBusy(true);
    setError({});
    setNeedsAccess(false);

    // The state may be destroyed while the request is in flight; its result is then dropped.
    const QPointer<AgentWorkspaceState> self(this);
    std::optional<AgentPreparation> answer;
    std::exception_ptr failure;
    try {
        answer = co_await client.prepare(task, transcript, list);
    } catch (...) {
        failure = std::current_exception();
    }
    if (!self) {
        co_return;
    }
    if (answer) {
        setPreparation(std::move(answer));
        setClarifications(std::move(list));
        setAnswer({});
        setExecution(std::nullopt);
    } else {
        const std::optional<AgentClient::Failure> refusal = asFailure(failure);
        setNeedsAccess(refusal && refusal->status() == 401);
        setError(describeError(failure));
    }
    setBusy(false);
}

QCoro::Task<> AgentWorkspaceState::launch(std::optional<AgentClient> client, AgentReview review)
{
    if (!client || m_busy) {
        co_return;
    }
    setBusy(true);
    setError({});

    const QPointer<AgentWorkspaceState> self(this);
    std::optional<AgentExecution> execution;
    std::exception_ptr failure;
    try {
        execution = co_await client->launch(std::move(review));
    } catch (...) {
        failure = std::current_exception();
    }
    if (!self) {
        co_return;
    }
    if (execution) {
        setExecution(std::move(execution));
        setPreparation(std::nullopt);
    } else {
        const std::optional<AgentClient::Failure> refusal = asFailure(failure);
        setNeedsAccess(refusal && refusal->status() == 401);
        setTrelloSetupRequired(refusal && refusal->code() == QStringLiteral("trello_setup"));
        if (!m_needsAccess && !m_trelloSetupRequired) {
            setPreparation(std::nullopt);
        }
        setError(describeError(failure));
    }
    setBusy(false);
}
