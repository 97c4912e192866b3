#pragma once

#include "agentclient.h"
#include "agentrecords.h"
#include "agentworkspacestate.h"

#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QUrl>
#include <QVariant>
#include <QtQmlIntegration/qqmlintegration.h>
#include <optional>

// The agent page's rules: which controls show, their texts and enabled states, the gates in front
// of a preparation, and the proposal and launched session formatted for display. It holds no
// workflow data of its own; everything follows from its inputs.
class AgentWorkspaceModel : public QObject
{
    Q_OBJECT
    QML_ELEMENT
    Q_PROPERTY(AgentWorkspaceState* state READ state WRITE setState NOTIFY stateChanged)
    Q_PROPERTY(QString transcript READ transcript WRITE setTranscript NOTIFY transcriptChanged)
    // An AgentAccess, or undefined when access was not checked.
    Q_PROPERTY(QVariant access READ accessValue WRITE setAccessValue NOTIFY accessChanged)
    Q_PROPERTY(
        QString workspaceURL READ workspaceURL WRITE setWorkspaceURL NOTIFY workspaceURLChanged)
    Q_PROPERTY(QString accessCode READ accessCode WRITE setAccessCode NOTIFY accessCodeChanged)
    Q_PROPERTY(bool hasClient READ hasClient NOTIFY viewChanged)
    Q_PROPERTY(bool busy READ busy NOTIFY viewChanged)
    Q_PROPERTY(bool insertVisible READ insertVisible NOTIFY viewChanged)
    Q_PROPERTY(QString insertLabel READ insertLabel NOTIFY viewChanged)
    Q_PROPERTY(bool prepareEnabled READ prepareEnabled NOTIFY viewChanged)
    Q_PROPERTY(bool answerEnabled READ answerEnabled NOTIFY viewChanged)
    Q_PROPERTY(QString reviewTitle READ reviewTitle NOTIFY viewChanged)
    Q_PROPERTY(QString reviewTask READ reviewTask NOTIFY viewChanged)
    Q_PROPERTY(QString reviewDestination READ reviewDestination NOTIFY viewChanged)
    Q_PROPERTY(QString reviewQuote READ reviewQuote NOTIFY viewChanged)
    Q_PROPERTY(QStringList reviewClarifications READ reviewClarifications NOTIFY viewChanged)
    Q_PROPERTY(bool launchBlocked READ launchBlocked NOTIFY viewChanged)
    Q_PROPERTY(QString blockedNote READ blockedNote NOTIFY viewChanged)
    Q_PROPERTY(QString blockedAction READ blockedAction NOTIFY viewChanged)
    Q_PROPERTY(bool launchEnabled READ launchEnabled NOTIFY viewChanged)
    Q_PROPERTY(bool hasExecution READ hasExecution NOTIFY viewChanged)
    Q_PROPERTY(QString followLabel READ followLabel NOTIFY viewChanged)
    Q_PROPERTY(QUrl executionURL READ executionURL NOTIFY viewChanged)

public:
    // The longest excerpt taken from the transcript, in user-perceived characters.
    static constexpr qsizetype excerptLimit = 5000;

    explicit AgentWorkspaceModel(QObject* parent = nullptr);

    // The number of user-perceived characters (grapheme clusters) in `text`.
    [[nodiscard]] static qsizetype characterCount(const QString& text);
    // The first `count` user-perceived characters of `text`; all of it when shorter.
    [[nodiscard]] static QString firstCharacters(const QString& text, qsizetype count);

    // The workflow state shown; the meeting session owns it.
    [[nodiscard]] AgentWorkspaceState* state() const { return m_state; }
    void setState(AgentWorkspaceState* state);
    // The meeting's transcript.
    [[nodiscard]] const QString& transcript() const { return m_transcript; }
    void setTranscript(const QString& transcript);
    // What the team server granted; none when not checked.
    [[nodiscard]] const std::optional<AgentAccess>& access() const { return m_access; }
    void setAccess(std::optional<AgentAccess> access);
    [[nodiscard]] QVariant accessValue() const;
    void setAccessValue(const QVariant& access);
    // The stored team site address.
    [[nodiscard]] const QString& workspaceURL() const { return m_workspaceURL; }
    void setWorkspaceURL(const QString& url);
    // The team access code that was granted access.
    [[nodiscard]] const QString& accessCode() const { return m_accessCode; }
    void setAccessCode(const QString& code);

    // The team server client: only with a granted access and an acceptable site address.
    [[nodiscard]] std::optional<AgentClient> client() const;
    [[nodiscard]] bool hasClient() const { return client().has_value(); }
    // An agent request runs; the fields and request buttons are disabled.
    [[nodiscard]] bool busy() const;
    // "Insérer la transcription" shows (there is a transcript).
    [[nodiscard]] bool insertVisible() const { return !m_transcript.isEmpty(); }
    [[nodiscard]] QString insertLabel() const;
    // "Préparer la tâche" may run.
    [[nodiscard]] bool prepareEnabled() const;
    // "Ajouter cette précision" may run.
    [[nodiscard]] bool answerEnabled() const;
    // The proposal's title, task, "<executor> · <destination>" line, quote and answered
    // questions ("<question> <answer>"); empty without a proposal.
    [[nodiscard]] QString reviewTitle() const;
    [[nodiscard]] QString reviewTask() const;
    [[nodiscard]] QString reviewDestination() const;
    [[nodiscard]] QString reviewQuote() const;
    [[nodiscard]] QStringList reviewClarifications() const;
    // The proposal cannot be launched before the team sets up its board or Devin.
    [[nodiscard]] bool launchBlocked() const { return !blockedNote().isEmpty(); }
    // Why the proposal is blocked; empty when it is not.
    [[nodiscard]] QString blockedNote() const;
    // The button leading to the catalogue when blocked.
    [[nodiscard]] QString blockedAction() const;
    // "Confirmer et lancer" may run.
    [[nodiscard]] bool launchEnabled() const;
    // A session was launched.
    [[nodiscard]] bool hasExecution() const;
    // "Suivre dans <executor>".
    [[nodiscard]] QString followLabel() const;
    [[nodiscard]] QUrl executionURL() const;

    // Replaces the excerpt with the beginning of the transcript.
    Q_INVOKABLE void insertTranscript();
    // "Préparer la tâche": the gate, then a first preparation.
    Q_INVOKABLE void prepareTask();
    // "Ajouter cette précision": the gate, then a preparation answering the current question.
    Q_INVOKABLE void addAnswer();
    // The gate in front of a preparation: the integrations page when access is missing or
    // refused, the catalogue when planning is not granted, else the state's preparation.
    void prepare(std::optional<QString> question);
    // "Confirmer et lancer".
    Q_INVOKABLE void launch();
    // "Modifier l’accès de l’équipe".
    Q_INVOKABLE void editAccess();
    // The blocked proposal's button.
    Q_INVOKABLE void showBlockedSetup();

Q_SIGNALS:
    void stateChanged();
    void transcriptChanged();
    void accessChanged();
    void workspaceURLChanged();
    void accessCodeChanged();
    // A derived text or enabled state may have changed.
    void viewChanged();
    // Opens the integrations page at "catalog", "agent" or "prepare".
    void showIntegrations(const QString& page);

private:
    [[nodiscard]] const AgentReview* review() const;

    QPointer<AgentWorkspaceState> m_state;
    QString m_transcript;
    std::optional<AgentAccess> m_access;
    QString m_workspaceURL;
    QString m_accessCode;
};
