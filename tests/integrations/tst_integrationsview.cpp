#include "agentanswers.h"
#include "agentworkspacestate.h"
#include "integrationsmodel.h"
#include "meetingsession.h"
#include "openedlinks.h"
#include "quicktesthelpers.h"
#include "testhttpserver.h"

#include <QDesktopServices>
#include <QDir>
#include <QQmlComponent>
#include <QQmlEngine>
#include <QQuickStyle>
#include <QSignalSpy>
#include <QTcpServer>

using namespace Qt::StringLiterals;
using agentanswers::accessAnswer;
using agentanswers::refusalAnswer;

namespace {

const QByteArray scene = R"(
import QtQuick
import Parlevox.Integrations

IntegrationsView { width: 475; height: 700 }
)";

const AgentAccess everything { .planning = true, .trello = true, .devin = true };
const QString otherSite = u"https://autre-equipe.example"_s;

// Work the agent holds for the current access: a proposal under review and a launched session.
void giveWork(AgentWorkspaceState* agent)
{
    agent->setPreparation(AgentPreparation::proposeReview(
        AgentReview::fromJson(agentanswers::proposalJson(u"devin"_s, u"github.com/acme/app"_s))));
    agent->setExecution(
        AgentExecution { AgentExecutor::Kind::devin, QUrl(u"https://app.devin.ai/s/9"_s) });
}

} // namespace

// The integrations sheet in a real offscreen window over a real meeting session, checking access
// against a loopback team server; the test plays the presenter (stored address, closing).
class TestIntegrationsView : public QObject, public QuickViewDriver
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        qunsetenv("GLADIA_API_KEY");
        QQuickStyle::setStyle(u"Basic"_s);
        m_engine.addImportPath(u"qrc:/"_s);
        QDesktopServices::setUrlHandler(u"https"_s, &m_links, "open");
    }

    void init()
    {
        m_server = std::make_unique<TestHttpServer>();
        m_session = std::make_unique<MeetingSession>();
        m_storedURL = m_server->url().toString();
        m_links.urls.clear();
        m_window = std::make_unique<QQuickWindow>();
        m_window->resize(475, 700);
        m_window->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));
    }

    void cleanup()
    {
        m_dismissed.reset();
        m_transcribed.reset();
        m_root.reset();
        m_window.reset();
        m_session.reset();
        m_server.reset();
    }

    void cleanupTestCase() { QDesktopServices::unsetUrlHandler(u"https"_s); }

    void catalogue_data()
    {
        QTest::addColumn<std::optional<AgentAccess>>("access");
        QTest::addColumn<QString>("key");
        QTest::addColumn<QStringList>("statuses"); // Gladia, Trello, Google Calendar, Devin
        QTest::addColumn<QString>("gladiaAction");
        QTest::addColumn<bool>("planningNote");
        QTest::addColumn<bool>("trelloNote");

        using Access = std::optional<AgentAccess>;
        QTest::newRow("nothing yet")
            << Access() << QString()
            << QStringList { u"Facultatif"_s, u"Option agent"_s, u"À venir"_s, u"Option agent"_s }
            << u"Configurer"_s << false << false;
        QTest::newRow("board, no Devin, key")
            << Access(AgentAccess { .planning = true, .trello = true, .devin = false }) << u"clé"_s
            << QStringList { u"Clé renseignée"_s, u"Configuré"_s, u"À venir"_s,
                   u"À relier par l’équipe"_s }
            << u"Modifier"_s << false << false;
        QTest::newRow("no planning")
            << Access(AgentAccess { .planning = false, .trello = false, .devin = true })
            << QString()
            << QStringList { u"Facultatif"_s, u"À relier par l’équipe"_s, u"À venir"_s,
                   u"Configuré"_s }
            << u"Configurer"_s << true << false;
        QTest::newRow("planning, no board")
            << Access(AgentAccess { .planning = true, .trello = false, .devin = false })
            << QString()
            << QStringList { u"Facultatif"_s, u"À relier par l’équipe"_s, u"À venir"_s,
                   u"À relier par l’équipe"_s }
            << u"Configurer"_s << false << true;
    }

    void catalogue()
    {
        QFETCH(std::optional<AgentAccess>, access);
        QFETCH(QString, key);
        QFETCH(QStringList, statuses);
        QFETCH(QString, gladiaAction);
        QFETCH(bool, planningNote);
        QFETCH(bool, trelloNote);

        m_session->setAgentAccess(access);
        m_session->setKey(key);
        present(u"catalog"_s);
        QVERIFY(shown("catalog") && !shown("agentForm") && !shown("gladiaForm"));
        QCOMPARE(text("catalogIntro"),
            access ? u"Le code de l’équipe est validé pour cette session."_s
                   : QStringLiteral("Le carnet et l’enregistrement sont disponibles sans compte. "
                                    "Connectez l’agent quand vous en avez besoin."));
        QCOMPARE((QStringList { rowStatus("gladiaRow"), rowStatus("trelloRow"),
                     rowStatus("calendarRow"), rowStatus("devinRow") }),
            statuses);
        QCOMPARE(text("gladiaAction"), gladiaAction);
        QCOMPARE(accessibleName(item("gladiaAction")), u"Configurer Gladia"_s);
        QCOMPARE(shown("planningNote"), planningNote);
        QCOMPARE(shown("trelloNote"), trelloNote);
        QCOMPARE(shown("connectAgentButton"), !access);
        QCOMPARE(shown("disconnectButton"), access.has_value());
        QCOMPARE(shown("refreshButton"), access.has_value());

        // The session is observed: the catalogue follows it while open.
        m_session->setKey(key.isEmpty() ? u"k"_s : QString());
        QCOMPARE(rowStatus("gladiaRow"), key.isEmpty() ? u"Clé renseignée"_s : u"Facultatif"_s);

        click("closeButton");
        QCOMPARE(m_dismissed->count(), 1);
    }

    void connectFromLink()
    {
        m_storedURL = otherSite;
        present(u"agent"_s, m_server->url().toString());
        QCOMPARE(text("serverField"), m_server->url().toString());
        QTRY_VERIFY(item("codeField")->hasActiveFocus());
        QCOMPARE(text("formBackButton"), u"Continuer sans compte"_s);

        // A blank code cannot be sent, by the button or by Return.
        typeText(m_window.get(), u"  "_s);
        QVERIFY(!enabled("connectButton"));
        QTest::keyClick(m_window.get(), Qt::Key_Return);
        QVERIFY(m_server->requests().isEmpty());
        QVERIFY(text("issueText").isEmpty());

        typeText(m_window.get(), u"code-42  "_s);
        QVERIFY(enabled("connectButton"));
        m_server->enqueue(accessAnswer(AgentAccess { .planning = true, .trello = true }, 300));
        click("connectButton");

        // While checking: the form is locked and the sheet refuses to close.
        QVERIFY(m_root->property("checking").toBool());
        QVERIFY(shown("checkingIndicator"));
        for (const char* control :
            { "serverField", "codeField", "formBackButton", "connectButton" }) {
            QVERIFY2(!enabled(control), control);
        }
        QTest::keyClick(m_window.get(), Qt::Key_Escape);
        QVERIFY(QMetaObject::invokeMethod(m_root.get(), "cancel"));
        QCOMPARE(m_dismissed->count(), 0);
        QCOMPARE(m_storedURL, otherSite);

        QTRY_VERIFY(!m_root->property("checking").toBool());
        QCOMPARE(m_server->requests().size(), 1);
        QCOMPARE(m_server->requests().at(0).target, "/api/agent-access");
        QCOMPARE(m_server->requests().at(0).header("Authorization"), "Bearer code-42");
        QCOMPARE(m_storedURL, m_server->url().toString());
        QCOMPARE(m_session->agentAccessCode(), u"code-42"_s);
        QCOMPARE(m_session->agentAccess(), (AgentAccess { .planning = true, .trello = true }));
        QCOMPARE(page(), u"catalog"_s);
        QVERIFY(text("codeField").isEmpty());

        // "Vérifier les accès" checks the stored code against the stored site again.
        m_server->enqueue(accessAnswer(AgentAccess { .planning = true, .trello = false }));
        click("refreshButton");
        QTRY_COMPARE(rowStatus("trelloRow"), u"À relier par l’équipe"_s);
        QCOMPARE(m_server->requests().at(1).header("Authorization"), "Bearer code-42");

        // Back on the form with an access, its leading button returns to the catalogue.
        m_root->findChild<IntegrationsModel*>(u"integrationsModel"_s)->show(u"agent"_s);
        QCOMPARE(text("formBackButton"), u"Retour"_s);
        click("formBackButton");
        QCOMPARE(page(), u"catalog"_s);
        QCOMPARE(m_dismissed->count(), 0);

        // Disconnecting drops the code, the access and the agent's work, but keeps the site.
        AgentWorkspaceState* agent = m_session->agent();
        giveWork(agent);
        click("disconnectButton");
        QVERIFY(m_session->agentAccessCode().isEmpty());
        QVERIFY(!m_session->agentAccess());
        QVERIFY(!agent->reviewing());
        QVERIFY(!agent->execution());
        QCOMPARE(m_storedURL, m_server->url().toString());
        QCOMPARE(page(), u"catalog"_s);

        // "Connecter l’agent" leads to the form, whose leading button now closes the sheet.
        click("connectAgentButton");
        QCOMPARE(page(), u"agent"_s);
        QTRY_VERIFY(item("codeField")->hasActiveFocus());
        click("formBackButton");
        QCOMPARE(m_dismissed->count(), 1);
    }

    void connectFailures_data()
    {
        QTest::addColumn<QString>("startPage");
        QTest::addColumn<QString>("site"); // "server": the loopback server, "closed": a closed port
        QTest::addColumn<std::optional<ScriptedResponse>>("answer");
        QTest::addColumn<QString>("issue");
        QTest::addColumn<QString>("endPage");

        const QString refused = u"Code d’accès inconnu."_s;
        QTest::newRow("site refused")
            << u"agent"_s << u"ftp://equipe.example"_s << std::optional<ScriptedResponse>()
            << u"Saisissez l’adresse du site de votre équipe, qui commence par https://."_s
            << u"agent"_s;
        QTest::newRow("401 from the catalogue")
            << u"catalog"_s << u"server"_s << std::optional(refusalAnswer(401, refused)) << refused
            << u"agent"_s;
        QTest::newRow("403 from the catalogue")
            << u"catalog"_s << u"server"_s << std::optional(refusalAnswer(403, refused)) << refused
            << u"catalog"_s;
        QTest::newRow("no answer")
            << u"agent"_s << u"closed"_s << std::optional<ScriptedResponse>()
            << u"Impossible de joindre le site de votre équipe. Vérifiez son adresse et réessayez."_s
            << u"agent"_s;
    }

    void connectFailures()
    {
        QFETCH(QString, startPage);
        QFETCH(QString, site);
        QFETCH(std::optional<ScriptedResponse>, answer);
        QFETCH(QString, issue);
        QFETCH(QString, endPage);

        QString address = site;
        if (site == u"server"_s) {
            address = m_server->url().toString();
        } else if (site == u"closed"_s) {
            QTcpServer probe;
            QVERIFY(probe.listen(QHostAddress::LocalHost));
            address = u"http://127.0.0.1:%1"_s.arg(probe.serverPort());
        }
        if (answer) {
            m_server->enqueue(*answer);
        }
        const AgentAccess before { .planning = true };
        if (startPage == u"catalog"_s) {
            // "Vérifier les accès" checks the stored code against the stored site.
            m_session->setAgentAccessCode(u"ancien"_s);
            m_session->setAgentAccess(before);
            m_storedURL = address;
            present(startPage);
            click("refreshButton");
        } else {
            present(startPage);
            item("serverField")->setProperty("text", address);
            type("codeField", u"code-42"_s);
            QTest::keyClick(m_window.get(), Qt::Key_Return);
        }
        QTRY_COMPARE(text("issueText"), issue);
        QTRY_VERIFY(!m_root->property("checking").toBool());
        QVERIFY(shown("issueText"));
        QCOMPARE(page(), endPage);
        QCOMPARE(m_storedURL, startPage == u"catalog"_s ? address : m_server->url().toString());
        if (startPage == u"catalog"_s) {
            QCOMPARE(m_session->agentAccessCode(), u"ancien"_s);
            QCOMPARE(m_session->agentAccess(), before);
        } else {
            QVERIFY(m_session->agentAccessCode().isEmpty());
            QVERIFY(!m_session->agentAccess());
        }
        QCOMPARE(m_dismissed->count(), 0);
    }

    void prepareResumes_data()
    {
        QTest::addColumn<bool>("planning");
        QTest::newRow("planning granted") << true;
        QTest::newRow("planning refused") << false;
    }

    void prepareResumes()
    {
        QFETCH(bool, planning);

        m_session->agent()->setRequest(u"Créer une fiche"_s);
        present(u"prepare"_s);
        QCOMPARE(text("connectButton"), u"Connecter et préparer"_s);
        m_server->setHandler([planning](const RecordedRequest& request) {
            if (request.target.endsWith("agent-access")) {
                return accessAnswer(
                    AgentAccess { .planning = planning, .trello = true, .devin = true });
            }
            return agentanswers::questionAnswer(u"Quel tableau ?"_s);
        });
        type("codeField", u"code-42"_s);
        click("connectButton");
        QTRY_VERIFY(m_session->agentAccess().has_value());
        if (planning) {
            QTRY_COMPARE(m_dismissed->count(), 1);
            QVERIFY(!m_root->property("checking").toBool());
            QTRY_COMPARE(m_session->agent()->question(), u"Quel tableau ?"_s);
            QCOMPARE(m_server->requests().size(), 2);
            QCOMPARE(m_server->requests().at(1).target, "/api/agent-prepare");
            QCOMPARE(m_server->requests().at(1).header("Authorization"), "Bearer code-42");
        } else {
            QTRY_VERIFY(!m_root->property("checking").toBool());
            QCOMPARE(m_dismissed->count(), 0);
            QCOMPARE(page(), u"catalog"_s);
            QVERIFY(shown("planningNote"));
            QCOMPARE(text("planningNote"),
                QStringLiteral("Votre équipe doit activer l’agent sur son serveur. Vous pouvez "
                               "continuer à utiliser le carnet."));
            QTest::qWait(50);
            QCOMPARE(m_server->requests().size(), 1);
        }
    }

    void reconnect_data()
    {
        QTest::addColumn<bool>("sameSite");
        QTest::addColumn<bool>("sameCode");

        QTest::newRow("same site and code") << true << true;
        QTest::newRow("other code") << true << false;
        QTest::newRow("other site") << false << true;
    }

    void reconnect()
    {
        QFETCH(bool, sameSite);
        QFETCH(bool, sameCode);

        AgentWorkspaceState* agent = m_session->agent();
        m_session->setAgentAccessCode(u"code-42"_s);
        m_session->setAgentAccess(AgentAccess { .planning = true });
        if (!sameSite) {
            m_storedURL = otherSite;
        }
        giveWork(agent);
        agent->setNeedsAccess(true);
        agent->setTrelloSetupRequired(true);
        agent->setError(u"Code refusé."_s);

        present(u"agent"_s, m_server->url().toString());
        m_server->enqueue(accessAnswer(everything));
        type("codeField", sameCode ? u"code-42"_s : u"code-43"_s);
        click("connectButton");
        QTRY_COMPARE(m_session->agentAccess(), everything);

        const bool kept = sameSite && sameCode;
        QCOMPARE(agent->reviewing(), kept);
        QCOMPARE(agent->execution().has_value(), kept);
        QVERIFY(!agent->needsAccess());
        QVERIFY(!agent->trelloSetupRequired());
        QVERIFY(agent->error().isEmpty());
        QCOMPARE(m_storedURL, m_server->url().toString());
        QCOMPARE(page(), u"catalog"_s);
    }

    void agentBusy()
    {
        // An agent request in flight locks the access actions and refuses a check.
        TestHttpServer agentServer;
        agentServer.enqueue(ScriptedResponse { .stall = true });
        AgentWorkspaceState* agent = m_session->agent();
        agent->setRequest(u"Créer une fiche"_s);
        m_session->setAgentAccessCode(u"code-42"_s);
        m_session->setAgentAccess(AgentAccess { .planning = true });
        present(u"catalog"_s);
        QVERIFY(enabled("disconnectButton") && enabled("refreshButton"));

        AgentClient stalled(agentServer.url(), u"code-42"_s);
        stalled.setTimeout(std::chrono::milliseconds(1500));
        static_cast<void>(agent->prepare(stalled));
        QVERIFY(agent->busy());
        QVERIFY(!enabled("disconnectButton") && !enabled("refreshButton"));
        click("refreshButton");
        QTest::qWait(50);
        QVERIFY(m_server->requests().isEmpty());
        QTRY_VERIFY(!agent->busy());
        QVERIFY(enabled("disconnectButton") && enabled("refreshButton"));

        // A request that starts while the check runs wins: the grant is not stored.
        agentServer.enqueue(ScriptedResponse { .stall = true });
        m_server->enqueue(accessAnswer(everything, 300));
        click("refreshButton");
        QVERIFY(m_root->property("checking").toBool());
        static_cast<void>(agent->prepare(stalled));
        QVERIFY(agent->busy());
        QTRY_COMPARE(
            text("issueText"), u"Une tâche est en cours. Réessayez quand elle est terminée."_s);
        QVERIFY(!m_root->property("checking").toBool());
        QCOMPARE(m_session->agentAccess(), (AgentAccess { .planning = true }));
        QTRY_VERIFY(!agent->busy());
    }

    void keyForm_data()
    {
        QTest::addColumn<QString>("startPage");
        QTest::addColumn<QString>("typed");
        QTest::addColumn<bool>("saveEnabled");
        QTest::addColumn<QString>("stored");

        QTest::newRow("gladia, trimmed") << u"gladia"_s << u"  gl-123 \t"_s << true << u"gl-123"_s;
        QTest::newRow("gladia, blank removes the key") << u"gladia"_s << u"   "_s << true << u""_s;
        QTest::newRow("transcribe, trimmed")
            << u"transcribe"_s << u" gl-123 "_s << true << u"gl-123"_s;
        QTest::newRow("transcribe, blank") << u"transcribe"_s << u"  "_s << false << u"ancienne"_s;
    }

    void keyForm()
    {
        QFETCH(QString, startPage);
        QFETCH(QString, typed);
        QFETCH(bool, saveEnabled);
        QFETCH(QString, stored);

        const bool transcribing = startPage == u"transcribe"_s;
        m_session->setKey(u"ancienne"_s);
        present(startPage);
        QVERIFY(shown("gladiaForm") && !shown("catalog"));
        QCOMPARE(text("keyField"), u"ancienne"_s);
        QTRY_VERIFY(item("keyField")->hasActiveFocus());
        QCOMPARE(text("keyBackButton"), transcribing ? u"Revenir au carnet"_s : u"Retour"_s);
        QCOMPARE(text("keySaveButton"), transcribing ? u"Transcrire"_s : u"Enregistrer"_s);

        click("gladiaKeysLink");
        QCOMPARE(m_links.urls, QList<QUrl> { QUrl(u"https://app.gladia.io/apikeys"_s) });

        item("keyField")->setProperty("text", QString());
        QCOMPARE(enabled("keySaveButton"), !transcribing);
        type("keyField", typed);
        QCOMPARE(enabled("keySaveButton"), saveEnabled);
        click("keySaveButton");
        QCOMPARE(m_session->key(), stored);
        if (!saveEnabled) {
            QCOMPARE(m_transcribed->count(), 0);
            // Leaving does not save.
            click("keyBackButton");
            QCOMPARE(m_dismissed->count(), 1);
            QCOMPARE(m_session->key(), u"ancienne"_s);
        } else if (transcribing) {
            QCOMPARE(m_transcribed->count(), 1);
            QCOMPARE(m_dismissed->count(), 1);
        } else {
            QCOMPARE(m_transcribed->count(), 0);
            QCOMPARE(m_dismissed->count(), 0);
            QCOMPARE(page(), u"catalog"_s);
            QCOMPARE(
                rowStatus("gladiaRow"), stored.isEmpty() ? u"Facultatif"_s : u"Clé renseignée"_s);
            // "Retour" does not save what was typed.
            click("gladiaAction");
            QCOMPARE(page(), u"gladia"_s);
            type("keyField", u"x"_s);
            click("keyBackButton");
            QCOMPARE(page(), u"catalog"_s);
            QCOMPARE(m_session->key(), stored);
        }
    }

    void cancelKey()
    {
        // Escape runs the leading button of the page shown.
        present(u"gladia"_s);
        QTRY_VERIFY(m_window->isActive());
        QTRY_VERIFY(item("keyField")->hasActiveFocus());
        QTest::keyClick(m_window.get(), Qt::Key_Escape);
        QCOMPARE(page(), u"catalog"_s);
        QCOMPARE(m_dismissed->count(), 0);
        QTRY_VERIFY(m_root->hasActiveFocus());
        QTest::keyClick(m_window.get(), Qt::Key_Escape);
        QCOMPARE(m_dismissed->count(), 1);

        present(u"transcribe"_s);
        QTRY_VERIFY(item("keyField")->hasActiveFocus());
        QTest::keyClick(m_window.get(), Qt::Key_Escape);
        QCOMPARE(m_dismissed->count(), 1);
        QCOMPARE(m_transcribed->count(), 0);
    }

    // Not a check: with PARLEVOX_SCREENSHOTS set to a folder, renders the sheet's pages in both
    // appearances for a person to look at (scripts/screenshots-views.sh).
    void screenshots()
    {
        const QString folder = qEnvironmentVariable("PARLEVOX_SCREENSHOTS");
        if (folder.isEmpty()) {
            QSKIP("PARLEVOX_SCREENSHOTS is not set");
        }
        QVERIFY(QDir().mkpath(folder));
        const auto save = [&](const QString& name) {
            // Lay out the page first: its height decides the window's.
            nextFrame();
            // Resized while hidden: a shown window may still be drawn at its old size.
            m_window->hide();
            m_window->resize(475, int(m_root->implicitHeight()));
            m_root->setHeight(m_root->implicitHeight());
            m_window->show();
            QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));
            saveBothAppearances(folder, u"integrations"_s, name);
        };

        present(u"catalog"_s);
        save(u"catalog-guest"_s);

        m_session->setKey(u"gl-123"_s);
        m_session->setAgentAccess(AgentAccess { .planning = true, .trello = false, .devin = true });
        present(u"catalog"_s);
        save(u"catalog-connected"_s);

        m_session->setAgentAccess(std::nullopt);
        present(u"prepare"_s, u"http://localhost:3000"_s);
        item("serverField")->setProperty("text", u"équipe.example"_s);
        type("codeField", u"code-42"_s);
        QTest::keyClick(m_window.get(), Qt::Key_Return);
        QTRY_VERIFY(shown("issueText"));
        save(u"form-issue"_s);

        m_server->enqueue(accessAnswer(everything, 5000));
        item("serverField")->setProperty("text", m_server->url().toString());
        click("connectButton");
        QTRY_VERIFY(shown("checkingIndicator"));
        save(u"form-checking"_s);

        present(u"transcribe"_s);
        save(u"key"_s);
    }

private:
    // Presents the sheet for a request, as the notebook does.
    void present(const QString& page, const QString& suggestedServer = QString())
    {
        m_dismissed.reset();
        m_transcribed.reset();
        m_root.reset();
        QQmlComponent component(&m_engine);
        component.setData(scene, QUrl(u"qrc:/tst_integrationsview/Scene.qml"_s));
        QObject* created = component.beginCreate(m_engine.rootContext());
        QVERIFY2(created, qPrintable(component.errorString()));
        created->setProperty("session", QVariant::fromValue<QObject*>(m_session.get()));
        created->setProperty("workspaceURL", m_storedURL);
        created->setProperty("requestedPage", page);
        created->setProperty("suggestedServer", suggestedServer);
        component.completeCreate();
        m_root.reset(qobject_cast<QQuickItem*>(created));
        QVERIFY(m_root);
        // The presenter's side of the two-way binding.
        auto* model = m_root->findChild<IntegrationsModel*>(u"integrationsModel"_s);
        QVERIFY(model);
        QObject::connect(
            model, &IntegrationsModel::workspaceURLEdited, this, [this](const QString& url) {
                m_storedURL = url;
                m_root->setProperty("workspaceURL", url);
            });
        m_dismissed = std::make_unique<QSignalSpy>(m_root.get(), SIGNAL(dismissRequested()));
        m_transcribed = std::make_unique<QSignalSpy>(m_root.get(), SIGNAL(transcribeRequested()));
        m_root->setParentItem(m_window->contentItem());
        m_window->requestActivate();
    }

    [[nodiscard]] QString rowStatus(const char* row) const
    {
        QQuickItem* found = item(row);
        QQuickItem* status = found ? findItem(found, u"status"_s) : nullptr;
        return status ? status->property("text").toString() : QString();
    }

    [[nodiscard]] QString page() const
    {
        return m_root->findChild<IntegrationsModel*>(u"integrationsModel"_s)->page();
    }

    QQmlEngine m_engine;
    std::unique_ptr<TestHttpServer> m_server;
    std::unique_ptr<MeetingSession> m_session;
    QString m_storedURL;
    std::unique_ptr<QSignalSpy> m_dismissed;
    std::unique_ptr<QSignalSpy> m_transcribed;
    OpenedLinks m_links;
};

QTEST_MAIN(TestIntegrationsView)
#include "tst_integrationsview.moc"
