#pragma once

#include "agentclient.h"
#include "integrationsrequest.h"

#include <QCoroTask>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QUrl>
#include <QtQmlIntegration/qqmlintegration.h>
#include <exception>
#include <optional>

class AgentWorkspaceState;
class IntegrationsSession;

// The integrations sheet's state and rules: the page shown, the form fields, the access check with
// its messages, and every text and enabled state the sheet shows. The view binds to it and
// forwards its controls here; closing and transcribing are asked of the presenter by signals.
class IntegrationsModel : public QObject
{
    Q_OBJECT
    QML_ELEMENT
    // The meeting session; must implement IntegrationsSession.
    Q_PROPERTY(QObject* session READ sessionObject WRITE setSession NOTIFY sessionChanged)
    Q_PROPERTY(
        QString workspaceURL READ workspaceURL WRITE setWorkspaceURL NOTIFY workspaceURLChanged)
    Q_PROPERTY(QString page READ page NOTIFY pageChanged)
    Q_PROPERTY(QString server READ server WRITE setServer NOTIFY serverChanged)
    Q_PROPERTY(QString code READ code WRITE setCode NOTIFY codeChanged)
    Q_PROPERTY(QString gladiaKey READ gladiaKey WRITE setGladiaKey NOTIFY gladiaKeyChanged)
    Q_PROPERTY(bool checking READ checking NOTIFY checkingChanged)
    Q_PROPERTY(QString issue READ issue NOTIFY issueChanged)
    Q_PROPERTY(bool hasAccess READ hasAccess NOTIFY viewChanged)
    Q_PROPERTY(QString catalogIntro READ catalogIntro NOTIFY viewChanged)
    Q_PROPERTY(bool planningMissing READ planningMissing NOTIFY viewChanged)
    Q_PROPERTY(bool trelloMissing READ trelloMissing NOTIFY viewChanged)
    Q_PROPERTY(QString gladiaStatus READ gladiaStatus NOTIFY viewChanged)
    Q_PROPERTY(QString gladiaAction READ gladiaAction NOTIFY viewChanged)
    Q_PROPERTY(QString trelloStatus READ trelloStatus NOTIFY viewChanged)
    Q_PROPERTY(QString devinStatus READ devinStatus NOTIFY viewChanged)
    Q_PROPERTY(bool accessActionsEnabled READ accessActionsEnabled NOTIFY viewChanged)
    Q_PROPERTY(QString formBackLabel READ formBackLabel NOTIFY viewChanged)
    Q_PROPERTY(QString connectLabel READ connectLabel NOTIFY viewChanged)
    Q_PROPERTY(bool connectEnabled READ connectEnabled NOTIFY viewChanged)
    Q_PROPERTY(QString keyBackLabel READ keyBackLabel NOTIFY viewChanged)
    Q_PROPERTY(QString keySaveLabel READ keySaveLabel NOTIFY viewChanged)
    Q_PROPERTY(bool keySaveEnabled READ keySaveEnabled NOTIFY viewChanged)
    Q_PROPERTY(QUrl gladiaKeysURL READ gladiaKeysURL CONSTANT)

public:
    explicit IntegrationsModel(QObject* parent = nullptr);

    // "Option agent" when nothing is known, "Configuré" when granted, "À relier par l’équipe"
    // when refused.
    [[nodiscard]] static QString toolStatus(std::optional<bool> granted);
    // The transcription service's page where keys are made.
    [[nodiscard]] static QUrl gladiaKeysURL();

    [[nodiscard]] QObject* sessionObject() const { return m_sessionObject; }
    void setSession(QObject* session);
    // The persisted team site address, as the presenter holds it.
    [[nodiscard]] const QString& workspaceURL() const { return m_workspaceURL; }
    void setWorkspaceURL(const QString& url);
    // The page shown, by name.
    [[nodiscard]] QString page() const;
    [[nodiscard]] IntegrationsPage currentPage() const { return m_page; }
    // The site field.
    [[nodiscard]] const QString& server() const { return m_server; }
    void setServer(const QString& server);
    // The access code field.
    [[nodiscard]] const QString& code() const { return m_code; }
    void setCode(const QString& code);
    // The transcription key field.
    [[nodiscard]] const QString& gladiaKey() const { return m_gladiaKey; }
    void setGladiaKey(const QString& key);
    // An access check is running; the sheet must not close meanwhile.
    [[nodiscard]] bool checking() const { return m_checking; }
    // The message shown under the page; empty for none.
    [[nodiscard]] const QString& issue() const { return m_issue; }

    // The session holds a granted access.
    [[nodiscard]] bool hasAccess() const;
    // The catalogue's line under its heading.
    [[nodiscard]] QString catalogIntro() const;
    // Access was granted without planning.
    [[nodiscard]] bool planningMissing() const;
    // Access was granted with planning but without the board.
    [[nodiscard]] bool trelloMissing() const;
    [[nodiscard]] QString gladiaStatus() const;
    [[nodiscard]] QString gladiaAction() const;
    [[nodiscard]] QString trelloStatus() const;
    [[nodiscard]] QString devinStatus() const;
    // "Déconnecter" and "Vérifier les accès" may run.
    [[nodiscard]] bool accessActionsEnabled() const;
    // The team site form's leading button.
    [[nodiscard]] QString formBackLabel() const;
    [[nodiscard]] QString connectLabel() const;
    [[nodiscard]] bool connectEnabled() const;
    // The key form's leading button.
    [[nodiscard]] QString keyBackLabel() const;
    [[nodiscard]] QString keySaveLabel() const;
    [[nodiscard]] bool keySaveEnabled() const;

    // Starts over for a request: its page, the suggested site or else the stored one, empty code,
    // the session's key, no message.
    Q_INVOKABLE void begin(const QString& page, const QString& suggestedServer = QString());
    void begin(const IntegrationsRequest& request);
    // Clears the message and shows `page` (a page name; other texts are ignored).
    Q_INVOKABLE void show(const QString& page);
    void show(IntegrationsPage page);
    // Checks the typed code against the typed site.
    Q_INVOKABLE void connect();
    // Checks the session's code again against the stored site.
    Q_INVOKABLE void refresh();
    // Forgets the granted access and the agent's proposal and launched session.
    Q_INVOKABLE void disconnect();
    // Checks what `client` grants and, on success, stores it in the session; with `resume`, a
    // grant that includes planning closes the sheet and starts the agent's preparation. The task
    // may be dropped.
    QCoro::Task<> verify(AgentClient client, bool resume);
    // "Fermer", or the platform's own close: asks to close unless a check runs.
    Q_INVOKABLE void close();
    // The team site form's leading button.
    Q_INVOKABLE void leaveForm();
    // The key form's leading button; the key is not saved.
    Q_INVOKABLE void leaveKeyForm();
    // The key form's save: stores the trimmed key, then transcribes or returns to the catalogue.
    Q_INVOKABLE void saveKey();

Q_SIGNALS:
    void sessionChanged();
    void workspaceURLChanged();
    void pageChanged();
    void serverChanged();
    void codeChanged();
    void gladiaKeyChanged();
    void checkingChanged();
    void issueChanged();
    // A derived text or enabled state may have changed.
    void viewChanged();
    // A successful check stored this team site address; the presenter persists it.
    void workspaceURLEdited(const QString& url);
    // The sheet should close.
    void dismissRequested();
    // The current recording should be transcribed (the sheet also asks to close).
    void transcribeRequested();

private:
    [[nodiscard]] IntegrationsSession* session() const;
    [[nodiscard]] AgentWorkspaceState* agent() const;
    [[nodiscard]] bool agentBusy() const;
    void setPage(IntegrationsPage page);
    void setChecking(bool checking);
    void setIssue(const QString& issue);
    // Stores a successful check; true when the sheet should close and the preparation resume.
    bool accept(IntegrationsSession* session, const AgentClient& client, const AgentAccess& access,
        bool resume);
    void reportFailure(const std::exception_ptr& failure);

    QPointer<QObject> m_sessionObject;
    QPointer<AgentWorkspaceState> m_agent;
    QString m_workspaceURL;
    IntegrationsPage m_page = IntegrationsPage::catalog;
    QString m_server;
    QString m_code;
    QString m_gladiaKey;
    bool m_checking = false;
    QString m_issue;
};
