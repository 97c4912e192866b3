#include "integrationsmodel.h"

#include "agentworkspacestate.h"
#include "integrationspagename.h"
#include "integrationssession.h"
#include "notify.h"
#include "usertext.h"

namespace {

bool isFormPage(IntegrationsPage page)
{
    return page == IntegrationsPage::agent || page == IntegrationsPage::prepare;
}

} // namespace

IntegrationsModel::IntegrationsModel(QObject* parent)
    : QObject(parent)
{
    // Every derived text and enabled state reads some of these.
    for (const auto changed : { &IntegrationsModel::pageChanged, &IntegrationsModel::codeChanged,
             &IntegrationsModel::gladiaKeyChanged, &IntegrationsModel::checkingChanged,
             &IntegrationsModel::sessionChanged }) {
        QObject::connect(this, changed, this, &IntegrationsModel::viewChanged);
    }
}

QString IntegrationsModel::toolStatus(std::optional<bool> granted)
{
    if (!granted) {
        return QStringLiteral("Option agent");
    }
    return *granted ? QStringLiteral("Configuré") : QStringLiteral("À relier par l’équipe");
}

QUrl IntegrationsModel::gladiaKeysURL()
{
    return QUrl(QStringLiteral("https://app.gladia.io/apikeys"));
}

void IntegrationsModel::setSession(QObject* session)
{
    if (m_sessionObject == session) {
        return;
    }
    if (m_sessionObject) {
        QObject::disconnect(m_sessionObject, nullptr, this, nullptr);
    }
    if (m_agent) {
        QObject::disconnect(m_agent, nullptr, this, nullptr);
    }
    m_sessionObject = session;
    m_agent = nullptr;
    if (IntegrationsSession* model = this->session()) {
        for (const char* changed : { SIGNAL(keyChanged()), SIGNAL(agentAccessCodeChanged()),
                 SIGNAL(agentAccessChanged()) }) {
            QObject::connect(session, changed, this, SIGNAL(viewChanged()));
        }
        m_agent = model->agent();
        if (m_agent) {
            QObject::connect(
                m_agent, &AgentWorkspaceState::busyChanged, this, &IntegrationsModel::viewChanged);
        }
    }
    Q_EMIT sessionChanged();
}

void IntegrationsModel::setWorkspaceURL(const QString& url)
{
    assignAndNotify(this, m_workspaceURL, url, &IntegrationsModel::workspaceURLChanged);
}

QString IntegrationsModel::page() const
{
    return pageName(m_page);
}

void IntegrationsModel::setPage(IntegrationsPage page)
{
    assignAndNotify(this, m_page, page, &IntegrationsModel::pageChanged);
}

void IntegrationsModel::setServer(const QString& server)
{
    assignAndNotify(this, m_server, server, &IntegrationsModel::serverChanged);
}

void IntegrationsModel::setCode(const QString& code)
{
    assignAndNotify(this, m_code, code, &IntegrationsModel::codeChanged);
}

void IntegrationsModel::setGladiaKey(const QString& key)
{
    assignAndNotify(this, m_gladiaKey, key, &IntegrationsModel::gladiaKeyChanged);
}

void IntegrationsModel::setChecking(bool checking)
{
    assignAndNotify(this, m_checking, checking, &IntegrationsModel::checkingChanged);
}

void IntegrationsModel::setIssue(const QString& issue)
{
    assignAndNotify(this, m_issue, issue, &IntegrationsModel::issueChanged);
}

IntegrationsSession* IntegrationsModel::session() const
{
    return qobject_cast<IntegrationsSession*>(m_sessionObject.data());
}

AgentWorkspaceState* IntegrationsModel::agent() const
{
    return m_agent;
}

bool IntegrationsModel::agentBusy() const
{
    return m_agent && m_agent->busy();
}

bool IntegrationsModel::hasAccess() const
{
    const IntegrationsSession* model = session();
    return model && model->agentAccess().has_value();
}

QString IntegrationsModel::catalogIntro() const
{
    if (hasAccess()) {
        return QStringLiteral("Le code de l’équipe est validé pour cette session.");
    }
    return QStringLiteral("Le carnet et l’enregistrement sont disponibles sans compte. Connectez "
                          "l’agent quand vous en avez besoin.");
}

bool IntegrationsModel::planningMissing() const
{
    return hasAccess() && !session()->agentAccess()->planning;
}

bool IntegrationsModel::trelloMissing() const
{
    if (!hasAccess()) {
        return false;
    }
    const AgentAccess& access = *session()->agentAccess();
    return access.planning && !access.trello;
}

QString IntegrationsModel::gladiaStatus() const
{
    const IntegrationsSession* model = session();
    const bool empty = !model || model->key().isEmpty();
    return empty ? QStringLiteral("Facultatif") : QStringLiteral("Clé renseignée");
}

QString IntegrationsModel::gladiaAction() const
{
    const IntegrationsSession* model = session();
    const bool empty = !model || model->key().isEmpty();
    return empty ? QStringLiteral("Configurer") : QStringLiteral("Modifier");
}

QString IntegrationsModel::trelloStatus() const
{
    if (!hasAccess()) {
        return toolStatus(std::nullopt);
    }
    return toolStatus(session()->agentAccess()->trello);
}

QString IntegrationsModel::devinStatus() const
{
    if (!hasAccess()) {
        return toolStatus(std::nullopt);
    }
    return toolStatus(session()->agentAccess()->devin);
}

bool IntegrationsModel::accessActionsEnabled() const
{
    return !m_checking && !agentBusy();
}

QString IntegrationsModel::formBackLabel() const
{
    return hasAccess() ? QStringLiteral("Retour") : QStringLiteral("Continuer sans compte");
}

QString IntegrationsModel::connectLabel() const
{
    return m_page == IntegrationsPage::prepare ? QStringLiteral("Connecter et préparer")
                                               : QStringLiteral("Connecter");
}

bool IntegrationsModel::connectEnabled() const
{
    return !m_checking && !agentBusy() && !trimmedUserText(m_code).isEmpty();
}

QString IntegrationsModel::keyBackLabel() const
{
    return m_page == IntegrationsPage::transcribe ? QStringLiteral("Revenir au carnet")
                                                  : QStringLiteral("Retour");
}

QString IntegrationsModel::keySaveLabel() const
{
    return m_page == IntegrationsPage::transcribe ? QStringLiteral("Transcrire")
                                                  : QStringLiteral("Enregistrer");
}

bool IntegrationsModel::keySaveEnabled() const
{
    return m_page != IntegrationsPage::transcribe || !trimmedUserText(m_gladiaKey).isEmpty();
}

void IntegrationsModel::begin(const QString& page, const QString& suggestedServer)
{
    std::optional<QUrl> server;
    if (!suggestedServer.isEmpty()) {
        server = QUrl(suggestedServer);
    }
    begin(IntegrationsRequest(pageFromName(page).value_or(IntegrationsPage::catalog), server));
}

void IntegrationsModel::begin(const IntegrationsRequest& request)
{
    const IntegrationsSession* model = session();
    setPage(request.page());
    setServer(request.suggestedServer() ? request.suggestedServer()->toString() : m_workspaceURL);
    setCode({});
    setGladiaKey(model ? model->key() : QString());
    // A check that is running goes on: `checking` belongs to it.
    setIssue({});
}

void IntegrationsModel::show(const QString& page)
{
    if (const std::optional<IntegrationsPage> known = pageFromName(page)) {
        show(*known);
    }
}

void IntegrationsModel::show(IntegrationsPage page)
{
    setIssue({});
    setPage(page);
}

void IntegrationsModel::connect()
{
    const QString accessCode = trimmedUserText(m_code);
    if (accessCode.isEmpty()) {
        return;
    }
    const std::optional<QUrl> url = AgentClient::serverURL(m_server);
    if (!url) {
        setIssue(QStringLiteral(
            "Saisissez l’adresse du site de votre équipe, qui commence par https://."));
        return;
    }
    static_cast<void>(verify(AgentClient(*url, accessCode), m_page == IntegrationsPage::prepare));
}

void IntegrationsModel::refresh()
{
    const IntegrationsSession* model = session();
    const std::optional<QUrl> url = AgentClient::serverURL(m_workspaceURL);
    if (!model || !url || model->agentAccessCode().isEmpty()) {
        return;
    }
    static_cast<void>(verify(AgentClient(*url, model->agentAccessCode()), false));
}

void IntegrationsModel::disconnect()
{
    IntegrationsSession* model = session();
    // The buttons are disabled meanwhile; a check that ended later would grant access again.
    if (!model || m_checking || agentBusy()) {
        return;
    }
    model->setAgentAccessCode({});
    model->setAgentAccess(std::nullopt);
    if (AgentWorkspaceState* state = agent()) {
        state->invalidateReview();
        state->setExecution(std::nullopt);
    }
}

QCoro::Task<> IntegrationsModel::verify(AgentClient client, bool resume)
{
    if (!session() || m_checking || agentBusy()) {
        co_return;
    }
    setChecking(true);
    setIssue({});

    // The sheet or the session may be gone when the answer comes back.
    const QPointer<IntegrationsModel> self(this);
    const QPointer<QObject> sessionObject(m_sessionObject);
    std::optional<AgentAccess> access;
    std::exception_ptr failure;
    try {
        access = co_await client.access();
    } catch (...) {
        failure = std::current_exception();
    }
    if (!self) {
        co_return;
    }
    IntegrationsSession* model
        = sessionObject == m_sessionObject ? session() : nullptr; // the same session as asked
    bool resuming = false;
    if (!model) {
        // Nothing to store into.
    } else if (access) {
        resuming = accept(model, client, *access, resume);
    } else {
        reportFailure(failure);
    }
    setChecking(false);
    if (resuming) {
        if (AgentWorkspaceState* state = agent()) {
            static_cast<void>(state->prepare(client));
        }
        // Last: the presenter may delete the sheet, and this model with it.
        Q_EMIT dismissRequested();
    }
}

bool IntegrationsModel::accept(
    IntegrationsSession* model, const AgentClient& client, const AgentAccess& access, bool resume)
{
    AgentWorkspaceState* state = agent();
    if (state && state->busy()) {
        setIssue(QStringLiteral("Une tâche est en cours. Réessayez quand elle est terminée."));
        return false;
    }
    if (state) {
        const std::optional<QUrl> stored = AgentClient::serverURL(m_workspaceURL);
        if (model->agentAccessCode() != client.accessCode() || !stored
            || *stored != client.baseURL()) {
            state->invalidateReview();
            state->setExecution(std::nullopt);
        }
        if (state->needsAccess()) {
            state->setError({});
        }
        state->setNeedsAccess(false);
        if (access.trello && state->trelloSetupRequired()) {
            state->setTrelloSetupRequired(false);
            state->setError({});
        }
    }
    const QString address = client.baseURL().toString();
    setWorkspaceURL(address);
    Q_EMIT workspaceURLEdited(address);
    model->setAgentAccessCode(client.accessCode());
    model->setAgentAccess(access);
    setCode({});
    if (resume && access.planning) {
        return true;
    }
    show(IntegrationsPage::catalog);
    return false;
}

void IntegrationsModel::reportFailure(const std::exception_ptr& failure)
{
    try {
        std::rethrow_exception(failure);
    } catch (const AgentClient::Failure& refusal) {
        setIssue(refusal.message());
        if (refusal.status() == 401 && m_page == IntegrationsPage::catalog) {
            setPage(IntegrationsPage::agent);
        }
    } catch (...) {
        setIssue(QStringLiteral(
            "Impossible de joindre le site de votre équipe. Vérifiez son adresse et réessayez."));
    }
}

void IntegrationsModel::close()
{
    if (!m_checking) {
        Q_EMIT dismissRequested();
    }
}

void IntegrationsModel::leaveForm()
{
    if (m_checking || !isFormPage(m_page)) {
        return;
    }
    if (hasAccess()) {
        show(IntegrationsPage::catalog);
    } else {
        Q_EMIT dismissRequested();
    }
}

void IntegrationsModel::leaveKeyForm()
{
    if (m_page == IntegrationsPage::transcribe) {
        Q_EMIT dismissRequested();
    } else if (m_page == IntegrationsPage::gladia) {
        show(IntegrationsPage::catalog);
    }
}

void IntegrationsModel::saveKey()
{
    IntegrationsSession* model = session();
    if (!model || !keySaveEnabled()) {
        return;
    }
    if (m_page == IntegrationsPage::transcribe) {
        model->setKey(trimmedUserText(m_gladiaKey));
        // Transcribing first: closing may delete this model.
        Q_EMIT transcribeRequested();
        Q_EMIT dismissRequested();
    } else if (m_page == IntegrationsPage::gladia) {
        model->setKey(trimmedUserText(m_gladiaKey));
        show(IntegrationsPage::catalog);
    }
}
