#include "agentworkspacemodel.h"

#include "agentworkspacestate.h"
#include "usertext.h"

#include <QTextBoundaryFinder>

AgentWorkspaceModel::AgentWorkspaceModel(QObject* parent)
    : QObject(parent)
{
    for (const auto changed : { &AgentWorkspaceModel::stateChanged,
             &AgentWorkspaceModel::transcriptChanged, &AgentWorkspaceModel::accessChanged,
             &AgentWorkspaceModel::workspaceURLChanged, &AgentWorkspaceModel::accessCodeChanged }) {
        connect(this, changed, this, &AgentWorkspaceModel::viewChanged);
    }
}

qsizetype AgentWorkspaceModel::characterCount(const QString& text)
{
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
    qsizetype count = 0;
    while (finder.toNextBoundary() > 0) {
        ++count;
    }
    return count;
}

QString AgentWorkspaceModel::firstCharacters(const QString& text, qsizetype count)
{
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
    qsizetype end = 0;
    for (qsizetype taken = 0; taken < count; ++taken) {
        const qsizetype next = finder.toNextBoundary();
        if (next < 0) {
            break;
        }
        end = next;
    }
    return text.left(end);
}

void AgentWorkspaceModel::setState(AgentWorkspaceState* state)
{
    if (m_state == state) {
        return;
    }
    if (m_state) {
        disconnect(m_state, nullptr, this, nullptr);
    }
    m_state = state;
    if (m_state) {
        // Editing the request or the excerpt makes the proposal stale.
        const auto invalidate = [this] {
            m_state->invalidateReview();
        };
        connect(m_state, &AgentWorkspaceState::requestChanged, this, invalidate);
        connect(m_state, &AgentWorkspaceState::excerptChanged, this, invalidate);
        for (const auto changed : { &AgentWorkspaceState::requestChanged,
                 &AgentWorkspaceState::excerptChanged, &AgentWorkspaceState::answerChanged,
                 &AgentWorkspaceState::preparationChanged, &AgentWorkspaceState::executionChanged,
                 &AgentWorkspaceState::busyChanged, &AgentWorkspaceState::needsAccessChanged,
                 &AgentWorkspaceState::trelloSetupRequiredChanged }) {
            connect(m_state, changed, this, &AgentWorkspaceModel::viewChanged);
        }
    }
    Q_EMIT stateChanged();
}

void AgentWorkspaceModel::setTranscript(const QString& transcript)
{
    if (m_transcript == transcript) {
        return;
    }
    m_transcript = transcript;
    Q_EMIT transcriptChanged();
}

void AgentWorkspaceModel::setAccess(std::optional<AgentAccess> access)
{
    if (m_access == access) {
        return;
    }
    m_access = access;
    Q_EMIT accessChanged();
}

QVariant AgentWorkspaceModel::accessValue() const
{
    return m_access ? QVariant::fromValue(*m_access) : QVariant();
}

void AgentWorkspaceModel::setAccessValue(const QVariant& access)
{
    if (access.metaType() == QMetaType::fromType<AgentAccess>()) {
        setAccess(access.value<AgentAccess>());
    } else {
        setAccess(std::nullopt);
    }
}

void AgentWorkspaceModel::setWorkspaceURL(const QString& url)
{
    if (m_workspaceURL == url) {
        return;
    }
    m_workspaceURL = url;
    Q_EMIT workspaceURLChanged();
}

void AgentWorkspaceModel::setAccessCode(const QString& code)
{
    if (m_accessCode == code) {
        return;
    }
    m_accessCode = code;
    Q_EMIT accessCodeChanged();
}

std::optional<AgentClient> AgentWorkspaceModel::client() const
{
    if (!m_access) {
        return std::nullopt;
    }
    const std::optional<QUrl> url = AgentClient::serverURL(m_workspaceURL);
    if (!url) {
        return std::nullopt;
    }
    return AgentClient(*url, m_accessCode);
}

bool AgentWorkspaceModel::busy() const
{
    return m_state && m_state->busy();
}

QString AgentWorkspaceModel::insertLabel() const
{
    if (characterCount(m_transcript) <= excerptLimit) {
        return QStringLiteral("Insérer la transcription");
    }
    return QStringLiteral("Insérer le début de la transcription");
}

bool AgentWorkspaceModel::prepareEnabled() const
{
    if (!m_state || m_state->busy()) {
        return false;
    }
    return !trimmedUserText(m_state->request()).isEmpty()
        || !trimmedUserText(m_state->excerpt()).isEmpty();
}

bool AgentWorkspaceModel::answerEnabled() const
{
    return m_state && !m_state->busy() && !trimmedUserText(m_state->answer()).isEmpty();
}

const AgentReview* AgentWorkspaceModel::review() const
{
    if (!m_state || !m_state->preparation()) {
        return nullptr;
    }
    return m_state->preparation()->review();
}

QString AgentWorkspaceModel::reviewTitle() const
{
    const AgentReview* proposal = review();
    return proposal ? proposal->title : QString();
}

QString AgentWorkspaceModel::reviewTask() const
{
    const AgentReview* proposal = review();
    return proposal ? proposal->task : QString();
}

QString AgentWorkspaceModel::reviewDestination() const
{
    const AgentReview* proposal = review();
    if (!proposal) {
        return {};
    }
    return proposal->executor.name() + QStringLiteral(" · ") + proposal->destination;
}

QString AgentWorkspaceModel::reviewQuote() const
{
    const AgentReview* proposal = review();
    return proposal ? proposal->quote : QString();
}

QStringList AgentWorkspaceModel::reviewClarifications() const
{
    QStringList lines;
    if (const AgentReview* proposal = review()) {
        for (const AgentClarification& clarification : proposal->clarifications) {
            lines.append(clarification.question + QLatin1Char(' ') + clarification.answer);
        }
    }
    return lines;
}

QString AgentWorkspaceModel::blockedNote() const
{
    const AgentReview* proposal = review();
    if (!proposal) {
        return {};
    }
    // Only a granted value with the flag off blocks; an unchecked access never does.
    if (proposal->usesTrello()
        && ((m_access && !m_access->trello) || m_state->trelloSetupRequired())) {
        return QStringLiteral(
            "Votre équipe doit relier Trello. La proposition reste disponible ici.");
    }
    if (proposal->executor.isDevin() && m_access && !m_access->devin) {
        return QStringLiteral("Votre équipe doit activer Devin avant de lancer cette tâche.");
    }
    return {};
}

QString AgentWorkspaceModel::blockedAction() const
{
    const AgentReview* proposal = review();
    if (!proposal || !launchBlocked()) {
        return {};
    }
    return proposal->usesTrello() ? QStringLiteral("Voir l’accès Trello")
                                  : QStringLiteral("Voir l’accès Devin");
}

bool AgentWorkspaceModel::launchEnabled() const
{
    return review() && !launchBlocked() && !busy() && hasClient();
}

bool AgentWorkspaceModel::hasExecution() const
{
    return m_state && m_state->execution().has_value();
}

QString AgentWorkspaceModel::followLabel() const
{
    if (!hasExecution()) {
        return {};
    }
    return QStringLiteral("Suivre dans ") + m_state->execution()->executor.name();
}

QUrl AgentWorkspaceModel::executionURL() const
{
    return hasExecution() ? m_state->execution()->url : QUrl();
}

void AgentWorkspaceModel::insertTranscript()
{
    if (!m_state || m_state->busy() || m_transcript.isEmpty()) {
        return;
    }
    m_state->setExcerpt(firstCharacters(m_transcript, excerptLimit));
}

void AgentWorkspaceModel::prepareTask()
{
    prepare(std::nullopt);
}

void AgentWorkspaceModel::addAnswer()
{
    if (m_state && m_state->asking()) {
        prepare(m_state->question());
    }
}

void AgentWorkspaceModel::prepare(std::optional<QString> question)
{
    if (!m_state) {
        return;
    }
    const std::optional<AgentClient> agentClient = client();
    if (m_state->needsAccess() || !agentClient) {
        Q_EMIT showIntegrations(question ? QStringLiteral("agent") : QStringLiteral("prepare"));
        return;
    }
    if (m_access && !m_access->planning) {
        Q_EMIT showIntegrations(QStringLiteral("catalog"));
        return;
    }
    static_cast<void>(m_state->prepare(*agentClient, std::move(question)));
}

void AgentWorkspaceModel::launch()
{
    const AgentReview* proposal = review();
    if (!proposal || launchBlocked()) {
        return;
    }
    static_cast<void>(m_state->launch(client(), *proposal));
}

void AgentWorkspaceModel::editAccess()
{
    Q_EMIT showIntegrations(QStringLiteral("agent"));
}

void AgentWorkspaceModel::showBlockedSetup()
{
    Q_EMIT showIntegrations(QStringLiteral("catalog"));
}
