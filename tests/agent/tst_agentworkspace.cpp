#include "agentanswers.h"
#include "agentworkspacemodel.h"
#include "agentworkspacestate.h"
#include "openedlinks.h"
#include "quicktesthelpers.h"
#include "testhttpserver.h"

#include <QDesktopServices>
#include <QDir>
#include <QQmlComponent>
#include <QQmlEngine>
#include <QQuickStyle>

using namespace Qt::StringLiterals;
using namespace agentanswers;

namespace {

const QByteArray scene = R"(
import QtQuick
import Parlevox.Agent

AgentWorkspace { width: 700; height: 1500 }
)";

AgentReview review(const QString& executor, const QString& destination)
{
    return AgentReview::fromJson(agentanswers::proposalJson(executor, destination));
}

} // namespace

// The agent page in a real offscreen window, with a real workflow state talking to a loopback
// team server, driven through its controls.
class TestAgentWorkspace : public QObject, public QuickViewDriver
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        QQuickStyle::setStyle(u"Basic"_s);
        m_engine.addImportPath(u"qrc:/"_s);
        QDesktopServices::setUrlHandler(u"https"_s, &m_links, "open");
    }

    void init()
    {
        m_server = std::make_unique<TestHttpServer>();
        m_state = std::make_unique<AgentWorkspaceState>();
        m_links.urls.clear();
        QQmlComponent component(&m_engine);
        component.setData(scene, QUrl(u"qrc:/tst_agentworkspace/Scene.qml"_s));
        m_root.reset(qobject_cast<QQuickItem*>(component.create()));
        QVERIFY2(m_root, qPrintable(component.errorString()));
        m_root->setProperty("state", QVariant::fromValue(m_state.get()));
        m_root->setProperty("workspaceURL", m_server->url().toString());
        m_root->setProperty("accessCode", u"code-equipe"_s);
        m_shown = std::make_unique<QSignalSpy>(m_root.get(), SIGNAL(showIntegrations(QString)));
        m_window = std::make_unique<QQuickWindow>();
        m_window->resize(700, 1500);
        m_root->setParentItem(m_window->contentItem());
        m_window->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));
    }

    void cleanup()
    {
        m_shown.reset();
        m_root.reset();
        m_window.reset();
        m_state.reset();
        m_server.reset();
    }

    void cleanupTestCase() { QDesktopServices::unsetUrlHandler(u"https"_s); }

    void characterRule_data()
    {
        QTest::addColumn<QString>("transcript");
        QTest::addColumn<QString>("label");
        QTest::addColumn<QString>("inserted");

        const QString whole = u"Insérer la transcription"_s;
        const QString beginning = u"Insérer le début de la transcription"_s;
        // Each is one user-perceived character made of several code points: the limit counts
        // those, inclusive, and the cut keeps them whole.
        const QString family = u"👨‍👩‍👧"_s;
        const QString accent = u"e\u0301"_s;
        const QString flag = u"🇫🇷"_s;
        QTest::newRow("5000 accented, 10000 code units")
            << accent.repeated(5000) << whole << accent.repeated(5000);
        QTest::newRow("4999 letters, a family, a flag") << QString(4999, QLatin1Char('a')) + family
                + flag << beginning << QString(4999, QLatin1Char('a')) + family;
    }

    void characterRule()
    {
        QFETCH(QString, transcript);
        QFETCH(QString, label);
        QFETCH(QString, inserted);

        m_state->setExcerpt(u"ce que l’utilisateur avait écrit"_s);
        m_root->setProperty("transcript", transcript);
        QCOMPARE(text("insertButton"), label);
        click("insertButton");
        QCOMPARE(m_state->excerpt(), inserted);
        QCOMPARE(text("excerptFieldText"), inserted);
    }

    void withoutClient()
    {
        QVERIFY(shown("guestNote"));
        QVERIFY(!shown("insertButton") && !shown("accessButton") && !shown("followLink"));
        QVERIFY(!enabled("prepareButton"));
        type("requestField", u"   "_s);
        QVERIFY(!enabled("prepareButton"));
        type("excerptFieldText", u"Décision : relancer"_s);
        QCOMPARE(m_state->excerpt(), u"Décision : relancer"_s);
        QVERIFY(enabled("prepareButton"));

        // A granted access over an address that is not acceptable gives no client either.
        grant(AgentAccess { .planning = true });
        QVERIFY(!shown("guestNote"));
        m_root->setProperty("workspaceURL", u"http://équipe.example"_s);
        QVERIFY(shown("guestNote"));
    }

    void prepareGate_data()
    {
        QTest::addColumn<bool>("granted");
        QTest::addColumn<bool>("planning");
        QTest::addColumn<bool>("answering");
        QTest::addColumn<QString>("page"); // empty: the preparation is sent

        QTest::newRow("no client") << false << true << false << u"prepare"_s;
        QTest::newRow("no client, answering") << false << true << true << u"agent"_s;
        QTest::newRow("planning refused") << true << false << false << u"catalog"_s;
        QTest::newRow("planning granted") << true << true << false << QString();
        QTest::newRow("planning granted, answering") << true << true << true << QString();
    }

    void prepareGate()
    {
        QFETCH(bool, granted);
        QFETCH(bool, planning);
        QFETCH(bool, answering);
        QFETCH(QString, page);

        m_state->setRequest(u"Créer une fiche"_s);
        if (answering) {
            m_state->setPreparation(AgentPreparation::askQuestion(u"Pour qui ?"_s));
            m_state->setAnswer(u"Pour Dupont"_s);
        }
        grant(granted ? std::optional(AgentAccess { .planning = planning }) : std::nullopt);
        m_server->enqueue(questionAnswer(u"Quel tableau ?"_s));

        click(answering ? "answerButton" : "prepareButton");
        if (page.isEmpty()) {
            QTRY_COMPARE(m_server->requests().size(), 1);
            const QJsonArray answered = QJsonDocument::fromJson(m_server->requests().at(0).body)
                                            .object()[u"clarifications"_s]
                                            .toArray();
            QCOMPARE(answered.size(), answering ? 1 : 0);
            QTRY_COMPARE(text("questionText"), u"Quel tableau ?"_s);
            QCOMPARE(pagesShown(), QStringList());
            // A blank answer cannot be sent.
            m_state->setAnswer(u"  "_s);
            QVERIFY(!enabled("answerButton"));
        } else {
            QCOMPARE(pagesShown(), QStringList { page });
            QTest::qWait(50);
            QVERIFY(m_server->requests().isEmpty());
        }
    }

    void unauthorizedThenClearedThenInserted()
    {
        grant(AgentAccess { .planning = true, .trello = true, .devin = true });
        type("requestField", u"Créer une fiche"_s);
        m_server->enqueue(refusalAnswer(401, u"Code d’accès refusé."_s));
        click("prepareButton");
        QTRY_VERIFY(shown("accessButton"));
        QVERIFY(shown("errorText"));
        QCOMPARE(text("errorText"), u"Code d’accès refusé."_s);

        click("accessButton");
        click("prepareButton");
        QCOMPARE(pagesShown(), (QStringList { u"agent"_s, u"prepare"_s }));
        QCOMPARE(m_server->requests().size(), 1);

        // Editing the request clears the refusal, its message and the button.
        type("requestField", u" de relance"_s);
        QVERIFY(!m_state->needsAccess());
        QVERIFY(!shown("accessButton"));
        QVERIFY(!shown("errorText"));
        m_server->enqueue(jsonAnswer(proposalJson(u"devin"_s, u"github.com/acme/app"_s)));
        click("prepareButton");
        QTRY_COMPARE(m_server->requests().size(), 2);
        QTRY_VERIFY(shown("reviewCard"));

        // Inserting the transcription discards the proposal it was made from.
        m_root->setProperty("transcript", u"[00:00] Micro : On relance lundi."_s);
        click("insertButton");
        QVERIFY(!m_state->reviewing());
        QVERIFY(!shown("reviewCard"));
        QVERIFY(shown("prepareButton"));
        QCOMPARE(m_state->excerpt(), u"[00:00] Micro : On relance lundi."_s);
    }

    void reviewActions_data()
    {
        QTest::addColumn<QString>("executor");
        QTest::addColumn<QString>("destination");
        QTest::addColumn<std::optional<AgentAccess>>("access");
        QTest::addColumn<bool>("setupRequired");
        QTest::addColumn<QString>("note"); // empty: the launch button shows
        QTest::addColumn<bool>("launchEnabled");

        const QString board
            = u"Votre équipe doit relier Trello. La proposition reste disponible ici."_s;
        const QString devin = u"Votre équipe doit activer Devin avant de lancer cette tâche."_s;
        const QString cu = u"computer_use"_s;
        const QString repo = u"github.com/acme/app"_s;
        const AgentAccess noBoard { .planning = true, .trello = false, .devin = true };
        const AgentAccess noDevin { .planning = true, .trello = true, .devin = false };
        const AgentAccess everything { .planning = true, .trello = true, .devin = true };
        using Access = std::optional<AgentAccess>;

        QTest::newRow("board, board refused")
            << cu << trelloBoard << Access(noBoard) << false << board << false;
        QTest::newRow("board, access unknown")
            << cu << trelloBoard << Access() << false << QString() << false;
        QTest::newRow("board, no access, setup")
            << cu << trelloBoard << Access() << true << board << false;
        QTest::newRow("board, granted")
            << cu << trelloBoard << Access(everything) << false << QString() << true;
        QTest::newRow("other site, board refused")
            << cu << u"https://example.com/x"_s << Access(noBoard) << false << QString() << true;
        QTest::newRow("devin, devin refused")
            << u"devin"_s << repo << Access(noDevin) << false << devin << false;
        QTest::newRow("devin, board refused")
            << u"devin"_s << repo << Access(noBoard) << true << QString() << true;
        QTest::newRow("devin, access unknown")
            << u"devin"_s << repo << Access() << false << QString() << false;
    }

    void reviewActions()
    {
        QFETCH(QString, executor);
        QFETCH(QString, destination);
        QFETCH(std::optional<AgentAccess>, access);
        QFETCH(bool, setupRequired);
        QFETCH(QString, note);
        QFETCH(bool, launchEnabled);

        grant(access);
        m_state->setPreparation(AgentPreparation::proposeReview(review(executor, destination)));
        m_state->setTrelloSetupRequired(setupRequired);
        QVERIFY(shown("reviewCard"));
        QVERIFY(!shown("prepareButton"));
        QCOMPARE(text("reviewDestination"),
            AgentExecutor::fromWireValue(executor)->name() + u" · "_s + destination);
        QCOMPARE(text("reviewClarification"), u"Quand ? Lundi"_s);

        if (note.isEmpty()) {
            QVERIFY(!shown("blockedNote") && !shown("blockedButton"));
            QVERIFY(shown("launchButton"));
            QCOMPARE(enabled("launchButton"), launchEnabled);
            return;
        }
        QVERIFY(!shown("launchButton"));
        QCOMPARE(text("blockedNote"), note);
        QCOMPARE(text("blockedButton"),
            executor == u"devin"_s ? u"Voir l’accès Devin"_s : u"Voir l’accès Trello"_s);
        click("blockedButton");
        QCOMPARE(pagesShown(), QStringList { u"catalog"_s });
        QVERIFY(m_server->requests().isEmpty());
    }

    // A proposal reached through a real preparation, launched and followed.
    void launchAndFollow()
    {
        grant(AgentAccess { .planning = true, .trello = true, .devin = true });
        m_state->setRequest(u"Relancer le client"_s);
        m_server->enqueue(jsonAnswer(proposalJson()));
        click("prepareButton");
        QTRY_VERIFY(shown("reviewCard"));
        const QUrl link(u"https://%1/sessions/77"_s.arg(
            AgentExecutor(AgentExecutor::Kind::computerUse).sessionHost()));
        m_server->enqueue(executionAnswer(u"computer_use"_s, link.toString(), 300));
        m_root->setProperty("transcript", u"[00:00] Micro : Bonjour"_s);
        click("launchButton");
        // While it runs, nothing can be edited or sent again.
        QVERIFY(m_state->busy() && shown("busyIndicator"));
        for (const char* control :
            { "requestField", "excerptField", "insertButton", "launchButton" }) {
            QVERIFY2(!enabled(control), control);
        }
        QTRY_VERIFY(shown("followLink"));
        QVERIFY(shown("executionHeading") && !shown("busyIndicator"));
        QCOMPARE(text("followLink"), u"Suivre dans H Computer Use"_s);
        QVERIFY(!shown("reviewCard"));
        click("followLink");
        QCOMPARE(m_links.urls, QList<QUrl> { link });
    }

    void controlsHaveAccessibleNames()
    {
        grant(AgentAccess { .planning = true, .trello = true, .devin = true });
        m_root->setProperty("transcript", u"Bonjour"_s);
        m_state->setPreparation(AgentPreparation::proposeReview(review(u"devin"_s, u"repo"_s)));
        m_state->setExecution(
            AgentExecution { AgentExecutor::Kind::devin, QUrl(u"https://app.devin.ai/s/1"_s) });
        m_state->setError(u"Erreur"_s);
        m_state->setNeedsAccess(true);

        // Every text of the proposal is read too: its title, task, lines and answered questions.
        const QStringList gaps = accessibilityGaps(m_root.get());
        QVERIFY2(gaps.isEmpty(), qPrintable(gaps.join(u'|')));
        QCOMPARE(accessibleName(item("excerptFieldText")), u"Extrait de réunion"_s);
    }

    // Not a check: with PARLEVOX_SCREENSHOTS set to a folder, renders the page in its main states
    // in both appearances for a person to look at (scripts/screenshots-views.sh).
    void screenshots()
    {
        const QString folder = qEnvironmentVariable("PARLEVOX_SCREENSHOTS");
        if (folder.isEmpty()) {
            QSKIP("PARLEVOX_SCREENSHOTS is not set");
        }
        QVERIFY(QDir().mkpath(folder));
        // Resized while hidden: a shown window may still be drawn at its old size.
        m_window->hide();
        m_window->resize(700, 980);
        m_root->setSize(QSizeF(700, 980));
        m_window->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));
        const auto save = [&](const QString& name) {
            saveBothAppearances(folder, u"agent"_s, name);
        };

        m_root->setProperty("transcript", u"[00:00] Micro : Bonjour à tous."_s);
        m_state->setRequest(u"Créer une fiche de relance pour le client Dupont"_s);
        save(u"editing"_s);

        grant(AgentAccess { .planning = true, .trello = false, .devin = true });
        m_state->setExcerpt(u"[00:12] Audio de l’appel : On relance Dupont lundi."_s);
        m_state->setPreparation(
            AgentPreparation::proposeReview(review(u"computer_use"_s, trelloBoard)));
        save(u"review-blocked"_s);

        grant(AgentAccess { .planning = true, .trello = true, .devin = true });
        m_state->setExecution(AgentExecution { AgentExecutor::Kind::computerUse,
            QUrl(u"https://platform.hcompany.ai/sessions/77"_s) });
        save(u"review-launched"_s);

        m_state->setPreparation(AgentPreparation::askQuestion(u"Sur quel tableau ?"_s));
        m_state->setError(u"Le code d’accès de l’équipe a été refusé."_s);
        m_state->setNeedsAccess(true);
        save(u"question-refused"_s);
    }

private:
    // The integration pages the page asked to show, in order.
    QStringList pagesShown() const
    {
        QStringList pages;
        for (const QList<QVariant>& arguments : *m_shown) {
            pages.append(arguments.at(0).toString());
        }
        return pages;
    }

    // Shows the page with a granted access (a client exists) or none.
    void grant(std::optional<AgentAccess> access)
    {
        m_root->setProperty("access", access ? QVariant::fromValue(*access) : QVariant());
    }

    QQmlEngine m_engine;
    std::unique_ptr<AgentWorkspaceState> m_state;
    std::unique_ptr<TestHttpServer> m_server;
    std::unique_ptr<QSignalSpy> m_shown;
    OpenedLinks m_links;
};

QTEST_MAIN(TestAgentWorkspace)
#include "tst_agentworkspace.moc"
