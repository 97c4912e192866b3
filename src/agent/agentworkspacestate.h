#pragma once

#include "agentclient.h"
#include "agentrecords.h"

#include <QCoroTask>
#include <QList>
#include <QObject>
#include <QString>
#include <QVariant>
#include <QVariantList>
#include <QtQmlIntegration/qqmlintegration.h>
#include <optional>

// The workflow of one agent task: request and excerpt, preparation with its clarification loop,
// proposal, launch. Lives on the application thread; every field change is notified.
class AgentWorkspaceState : public QObject
{
    Q_OBJECT
    QML_ELEMENT
    QML_UNCREATABLE("The meeting session owns the agent workspace state.")
    Q_PROPERTY(QString request READ request WRITE setRequest NOTIFY requestChanged)
    Q_PROPERTY(QString excerpt READ excerpt WRITE setExcerpt NOTIFY excerptChanged)
    Q_PROPERTY(QString answer READ answer WRITE setAnswer NOTIFY answerChanged)
    Q_PROPERTY(bool asking READ asking NOTIFY preparationChanged)
    Q_PROPERTY(QString question READ question NOTIFY preparationChanged)
    Q_PROPERTY(bool reviewing READ reviewing NOTIFY preparationChanged)
    Q_PROPERTY(QVariant review READ reviewValue NOTIFY preparationChanged)
    Q_PROPERTY(QVariant execution READ executionValue NOTIFY executionChanged)
    Q_PROPERTY(QVariantList clarifications READ clarificationValues NOTIFY clarificationsChanged)
    Q_PROPERTY(bool busy READ busy NOTIFY busyChanged)
    Q_PROPERTY(QString error READ error WRITE setError NOTIFY errorChanged)
    Q_PROPERTY(bool needsAccess READ needsAccess WRITE setNeedsAccess NOTIFY needsAccessChanged)
    Q_PROPERTY(bool trelloSetupRequired READ trelloSetupRequired WRITE setTrelloSetupRequired NOTIFY
            trelloSetupRequiredChanged)

public:
    explicit AgentWorkspaceState(QObject* parent = nullptr);

    // The user's request, as typed.
    [[nodiscard]] const QString& request() const { return m_request; }
    void setRequest(const QString& request);
    // The meeting excerpt sent with the request, as typed or inserted.
    [[nodiscard]] const QString& excerpt() const { return m_excerpt; }
    void setExcerpt(const QString& excerpt);
    // The user's answer to the question currently asked.
    [[nodiscard]] const QString& answer() const { return m_answer; }
    void setAnswer(const QString& answer);
    // The server's latest preparation answer: a question or a proposal.
    [[nodiscard]] const std::optional<AgentPreparation>& preparation() const
    {
        return m_preparation;
    }
    void setPreparation(std::optional<AgentPreparation> preparation);
    // The last session that was launched.
    [[nodiscard]] const std::optional<AgentExecution>& execution() const { return m_execution; }
    void setExecution(std::optional<AgentExecution> execution);
    // The questions already answered for this request, in order; sent with every preparation.
    [[nodiscard]] const QList<AgentClarification>& clarifications() const
    {
        return m_clarifications;
    }
    void setClarifications(QList<AgentClarification> clarifications);
    // A request to the team server is in flight.
    [[nodiscard]] bool busy() const { return m_busy; }
    // The message of the last failure; empty when there is none to show.
    [[nodiscard]] const QString& error() const { return m_error; }
    void setError(const QString& error);
    // The last failed request was refused with HTTP status 401.
    [[nodiscard]] bool needsAccess() const { return m_needsAccess; }
    void setNeedsAccess(bool needsAccess);
    // The last failed launch carried the code "trello_setup".
    [[nodiscard]] bool trelloSetupRequired() const { return m_trelloSetupRequired; }
    void setTrelloSetupRequired(bool required);

    // The preparation is a question (views read `question`).
    [[nodiscard]] bool asking() const { return m_preparation && m_preparation->isQuestion(); }
    // The question asked; empty unless asking.
    [[nodiscard]] QString question() const;
    // The preparation is a proposal (views read `review`).
    [[nodiscard]] bool reviewing() const { return m_preparation && m_preparation->isReview(); }
    // The proposal as an AgentReview, or an invalid value.
    [[nodiscard]] QVariant reviewValue() const;
    // The last launched session as an AgentExecution, or an invalid value.
    [[nodiscard]] QVariant executionValue() const;
    // The recorded clarifications as AgentClarification values.
    [[nodiscard]] QVariantList clarificationValues() const;

    // Forgets the proposal and everything derived from it; the request, the excerpt, the last
    // session and a running request are left alone.
    Q_INVOKABLE void invalidateReview();
    // Forgets everything, for a new recording or a newly opened file; a running request goes on.
    Q_INVOKABLE void newRecording();

    // Starts a preparation with `client`; `question` is the question being answered, none for a
    // first preparation. Does nothing while busy or when request and excerpt are both blank.
    // The returned task may be awaited or dropped; the work goes on either way.
    QCoro::Task<> prepare(AgentClient client, std::optional<QString> question = std::nullopt);
    // Confirms `review` and records the launched session. Does nothing without a client or while
    // busy. The returned task may be awaited or dropped.
    QCoro::Task<> launch(std::optional<AgentClient> client, AgentReview review);

Q_SIGNALS:
    void requestChanged();
    void excerptChanged();
    void answerChanged();
    void preparationChanged();
    void executionChanged();
    void clarificationsChanged();
    void busyChanged();
    void errorChanged();
    void needsAccessChanged();
    void trelloSetupRequiredChanged();

private:
    void setBusy(bool busy);

    QString m_request;
    QString m_excerpt;
    QString m_answer;
    std::optional<AgentPreparation> m_preparation;
    std::optional<AgentExecution> m_execution;
    QList<AgentClarification> m_clarifications;
    bool m_busy = false;
    QString m_error;
    bool m_needsAccess = false;
    bool m_trelloSetupRequired = false;
};
