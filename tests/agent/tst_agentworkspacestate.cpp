#include "agentanswers.h"
#include "agentworkspacestate.h"

#include <QSignalSpy>
#include <QTest>

Q_DECLARE_METATYPE(ScriptedResponse)

using namespace agentanswers;

namespace {

QString sessionLink()
{
    return QStringLiteral("https://%1/sessions/77")
        .arg(AgentExecutor(AgentExecutor::Kind::computerUse).sessionHost());
}

QJsonObject bodyOf(const RecordedRequest& request)
{
    return QJsonDocument::fromJson(request.body).object();
}

QList<AgentClarification> clarificationsSent(const RecordedRequest& request)
{
    QList<AgentClarification> list;
    const QJsonArray array = bodyOf(request).value(QStringLiteral("clarifications")).toArray();
    for (const QJsonValue& entry : array) {
        list.append(AgentClarification::fromJson(entry));
    }
    return list;
}

AgentClarification clarification(const char* question, const char* answer)
{
    return AgentClarification { QString::fromUtf8(question), QString::fromUtf8(answer) };
}

// Takes `state` to Reviewing through a real preparation.
void reachReview(AgentWorkspaceState& state, TestHttpServer& server, const AgentClient& client)
{
    state.setRequest(QStringLiteral("Relancer le client"));
    server.enqueue(jsonAnswer(proposalJson()));
    QCoro::waitFor(state.prepare(client));
    QVERIFY(state.reviewing());
}

} // namespace

class TestAgentWorkspaceState : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void clarificationLoopToLaunch()
    {
        TestHttpServer server;
        const AgentClient client(server.url(), QStringLiteral("code"));
        AgentWorkspaceState state;
        state.setRequest(QStringLiteral("  Créer une fiche de relance \n"));

        server.enqueue(questionAnswer(QStringLiteral("Pour quel client ?")));
        QCoro::waitFor(state.prepare(client));
        QCOMPARE(state.question(), QStringLiteral("Pour quel client ?"));
        QVERIFY(state.asking() && !state.busy());
        QCOMPARE(bodyOf(server.requests().at(0)),
            (QJsonObject { { QStringLiteral("task"), QStringLiteral("Créer une fiche de relance") },
                { QStringLiteral("transcript"), QString() },
                { QStringLiteral("clarifications"), QJsonArray() } }));

        state.setAnswer(QStringLiteral("  Dupont\n"));
        server.enqueue(jsonAnswer(proposalJson()));
        QCoro::waitFor(state.prepare(client, state.question()));
        const QList<AgentClarification> answered { clarification("Pour quel client ?", "Dupont") };
        QCOMPARE(clarificationsSent(server.requests().at(1)), answered);
        QVERIFY(state.reviewing());
        QCOMPARE(state.clarifications(), answered);
        QCOMPARE(state.answer(), QString());
        QCOMPARE(state.preparation()->review()->title, QStringLiteral("Relancer le client"));
        QCOMPARE(state.reviewValue().value<AgentReview>(), *state.preparation()->review());

        server.enqueue(executionAnswer(QStringLiteral("computer_use"), sessionLink()));
        QCoro::waitFor(state.launch(client, *state.preparation()->review()));
        QCOMPARE(bodyOf(server.requests().at(2)).value(QStringLiteral("approval")).toString(),
            QStringLiteral("approval-1"));
        QVERIFY(state.execution());
        QCOMPARE(state.execution()->url, QUrl(sessionLink()));
        QCOMPARE(state.execution()->executor.name(), QStringLiteral("H Computer Use"));
        QVERIFY(!state.preparation());
        QVERIFY(!state.busy());
        QCOMPARE(state.clarifications(), answered);
        QCOMPARE(state.request(), QStringLiteral("  Créer une fiche de relance \n"));

        // A new preparation sends the recorded answers again; its success forgets the last session.
        server.enqueue(questionAnswer(QStringLiteral("Quelle échéance ?")));
        QCoro::waitFor(state.prepare(client));
        QCOMPARE(clarificationsSent(server.requests().at(3)), answered);
        QVERIFY(!state.execution());
        QCOMPARE(server.requests().size(), 4);
    }

    void prepareTrimming_data()
    {
        QTest::addColumn<QString>("request");
        QTest::addColumn<QString>("excerpt");
        QTest::addColumn<bool>("sent");
        QTest::addColumn<QString>("task");
        QTest::addColumn<QString>("transcript");

        QTest::newRow("blank request, empty excerpt")
            << QStringLiteral(" \n\t \u00a0") << QString() << false << QString() << QString();
        QTest::newRow("both blank") << QStringLiteral("\n") << QStringLiteral("  \u2029 ") << false
                                    << QString() << QString();
        QTest::newRow("excerpt only")
            << QString() << QStringLiteral("\n 10:02 Micro On relance.  \n") << true << QString()
            << QStringLiteral("10:02 Micro On relance.");
        QTest::newRow("both") << QStringLiteral(" Relance ") << QStringLiteral("Extrait") << true
                              << QStringLiteral("Relance") << QStringLiteral("Extrait");
    }

    void prepareTrimming()
    {
        QFETCH(QString, request);
        QFETCH(QString, excerpt);
        QFETCH(bool, sent);
        QFETCH(QString, task);
        QFETCH(QString, transcript);

        TestHttpServer server;
        server.enqueue(questionAnswer(QStringLiteral("Q")));
        AgentWorkspaceState state;
        state.setRequest(request);
        state.setExcerpt(excerpt);
        QSignalSpy busy(&state, &AgentWorkspaceState::busyChanged);
        QCoro::waitFor(state.prepare(AgentClient(server.url(), QStringLiteral("c"))));

        QCOMPARE(server.requests().size(), sent ? 1 : 0);
        QCOMPARE(busy.size(), sent ? 2 : 0);
        QCOMPARE(state.asking(), sent);
        if (sent) {
            const QJsonObject body = bodyOf(server.requests().constFirst());
            QCOMPARE(body.value(QStringLiteral("task")).toString(), task);
            QCOMPARE(body.value(QStringLiteral("transcript")).toString(), transcript);
        }
        // The fields themselves keep what was typed.
        QCOMPARE(state.request(), request);
        QCOMPARE(state.excerpt(), excerpt);
    }

    void failedAnswerKeepsTypedText()
    {
        TestHttpServer server;
        const AgentClient client(server.url(), QStringLiteral("c"));
        AgentWorkspaceState state;
        state.setRequest(QStringLiteral("Relance"));
        state.setClarifications({ clarification("Q1", "A1") });
        state.setPreparation(AgentPreparation::askQuestion(QStringLiteral("Q2")));
        state.setAnswer(QStringLiteral("  A2 \n"));

        server.enqueue(ScriptedResponse { .status = 502, .body = "<html>Bad gateway</html>" });
        QCoro::waitFor(state.prepare(client, QStringLiteral("Q2")));
        const QList<AgentClarification> both { clarification("Q1", "A1"),
            clarification("Q2", "A2") };
        QCOMPARE(clarificationsSent(server.requests().at(0)), both);
        QCOMPARE(state.error(), QStringLiteral("L’agent n’a pas confirmé la requête (HTTP 502)."));
        QCOMPARE(state.clarifications(), (QList<AgentClarification> { clarification("Q1", "A1") }));
        QCOMPARE(state.answer(), QStringLiteral("  A2 \n"));
        QCOMPARE(state.question(), QStringLiteral("Q2"));
        QVERIFY(!state.needsAccess());
        QVERIFY(!state.busy());

        server.enqueue(jsonAnswer(proposalJson()));
        QCoro::waitFor(state.prepare(client, QStringLiteral("Q2")));
        QCOMPARE(clarificationsSent(server.requests().at(1)), both);
        QCOMPARE(state.clarifications(), both);
        QCOMPARE(state.answer(), QString());
        QCOMPARE(state.error(), QString());
        QVERIFY(state.reviewing());
    }

    void unauthorizedPreparation()
    {
        TestHttpServer server;
        const AgentClient client(server.url(), QStringLiteral("périmé"));
        AgentWorkspaceState state;
        state.setExcerpt(QStringLiteral("Extrait"));

        server.enqueue(ScriptedResponse::json(401, R"({"error":"Code d’accès refusé."})"));
        QCoro::waitFor(state.prepare(client));
        QVERIFY(state.needsAccess());
        QCOMPARE(state.error(), QStringLiteral("Code d’accès refusé."));
        QVERIFY(!state.preparation());

        // The next preparation clears the flag and the message before it sends.
        server.enqueue(questionAnswer(QStringLiteral("Q"), 100));
        QCoro::Task<> running = state.prepare(client);
        QVERIFY(state.busy());
        QVERIFY(!state.needsAccess());
        QCOMPARE(state.error(), QString());
        QCoro::waitFor(std::move(running));
        QVERIFY(state.asking());

        // Only a refusal by the server asks for new access; a lost connection does not.
        QUrl closed;
        {
            TestHttpServer gone;
            closed = gone.url();
        }
        state.setNeedsAccess(true);
        QCoro::waitFor(
            state.prepare(AgentClient(closed, QStringLiteral("c")), QStringLiteral("Q")));
        QVERIFY(!state.needsAccess());
        QVERIFY(!state.error().isEmpty());
        QVERIFY(state.asking());
        QVERIFY(!state.busy());
    }

    void launchFailures_data()
    {
        QTest::addColumn<ScriptedResponse>("response");
        QTest::addColumn<bool>("keepsProposal");
        QTest::addColumn<bool>("needsAccess");
        QTest::addColumn<bool>("trelloSetup");
        QTest::addColumn<QString>("error");

        QTest::newRow("401") << ScriptedResponse::json(401, R"({"error":"Code refusé."})") << true
                             << true << false << QStringLiteral("Code refusé.");
        QTest::newRow("trello_setup")
            << ScriptedResponse::json(409, R"({"error":"Reliez Trello.","code":"trello_setup"})")
            << true << false << true << QStringLiteral("Reliez Trello.");
        QTest::newRow("401 with trello_setup")
            << ScriptedResponse::json(401, R"({"error":"x","code":"trello_setup"})") << true << true
            << true << QStringLiteral("x");
        QTest::newRow("bad link") << executionAnswer(
            QStringLiteral("computer_use"), QStringLiteral("http://platform.example/s/1"))
                                  << false << false << false
                                  << QStringLiteral(
                                         "Le service n’a pas renvoyé de lien de session valide.");
        QTest::newRow("other code")
            << ScriptedResponse::json(403, R"({"error":"Non.","code":"quota"})") << false << false
            << false << QStringLiteral("Non.");
        QTest::newRow("empty message") << ScriptedResponse::json(500, R"({"error":""})") << false
                                       << false << false << QString();
    }

    void launchFailures()
    {
        QFETCH(ScriptedResponse, response);
        QFETCH(bool, keepsProposal);
        QFETCH(bool, needsAccess);
        QFETCH(bool, trelloSetup);
        QFETCH(QString, error);

        TestHttpServer server;
        const AgentClient client(server.url(), QStringLiteral("c"));
        AgentWorkspaceState state;
        reachReview(state, server, client);
        const AgentReview proposal = *state.preparation()->review();
        state.setClarifications({ clarification("Q", "A") });
        state.setError(QStringLiteral("ancien message"));

        server.enqueue(response);
        QCoro::waitFor(state.launch(client, proposal));
        QCOMPARE(state.reviewing(), keepsProposal);
        QCOMPARE(state.needsAccess(), needsAccess);
        QCOMPARE(state.trelloSetupRequired(), trelloSetup);
        QCOMPARE(state.error(), error);
        QVERIFY(!state.busy());
        QVERIFY(!state.execution());
        QCOMPARE(state.clarifications(), (QList<AgentClarification> { clarification("Q", "A") }));
        QCOMPARE(state.request(), QStringLiteral("Relancer le client"));
    }

    void invalidateDuringPreparation()
    {
        TestHttpServer server;
        const AgentClient client(server.url(), QStringLiteral("c"));
        AgentWorkspaceState state;
        state.setRequest(QStringLiteral("Relance"));
        state.setClarifications({ clarification("Q1", "A1") });
        state.setPreparation(AgentPreparation::askQuestion(QStringLiteral("Q2")));
        state.setAnswer(QStringLiteral("A2"));

        server.enqueue(jsonAnswer(proposalJson(), 200));
        QCoro::Task<> running = state.prepare(client, QStringLiteral("Q2"));
        state.invalidateReview();
        QVERIFY(!state.preparation());
        QVERIFY(state.clarifications().isEmpty());
        QCOMPARE(state.answer(), QString());
        QVERIFY(state.busy());

        // The running preparation still writes its answer and the list it sent.
        QCoro::waitFor(std::move(running));
        QVERIFY(state.reviewing());
        QCOMPARE(state.clarifications(),
            (QList<AgentClarification> { clarification("Q1", "A1"), clarification("Q2", "A2") }));
        QVERIFY(!state.busy());
    }

    void onlyOneRequestAtATime()
    {
        TestHttpServer server;
        const AgentClient client(server.url(), QStringLiteral("c"));
        AgentWorkspaceState state;
        reachReview(state, server, client);
        const AgentReview proposal = *state.preparation()->review();

        server.enqueue(questionAnswer(QStringLiteral("Q"), 150));
        QCoro::Task<> first = state.prepare(client);
        QSignalSpy busy(&state, &AgentWorkspaceState::busyChanged);
        QCoro::waitFor(state.prepare(client));
        QCoro::waitFor(state.launch(client, proposal));
        QVERIFY(state.busy());
        QVERIFY(busy.isEmpty());
        QCoro::waitFor(std::move(first));
        QCOMPARE(server.requests().size(), 2);
        QVERIFY(state.asking());

        // Without a client a launch does nothing at all.
        QCoro::waitFor(state.launch(std::nullopt, proposal));
        QCOMPARE(server.requests().size(), 2);
        QCOMPARE(busy.size(), 1);
    }

    void notifications()
    {
        AgentWorkspaceState state;
        QSignalSpy request(&state, &AgentWorkspaceState::requestChanged);
        QSignalSpy trello(&state, &AgentWorkspaceState::trelloSetupRequiredChanged);
        QSignalSpy preparation(&state, &AgentWorkspaceState::preparationChanged);
        QSignalSpy clarifications(&state, &AgentWorkspaceState::clarificationsChanged);
        QSignalSpy execution(&state, &AgentWorkspaceState::executionChanged);

        state.setRequest(QStringLiteral("a"));
        state.setRequest(QStringLiteral("a"));
        state.setTrelloSetupRequired(true);
        QCOMPARE(request.size(), 1);

        // Writes of the preparation, the clarifications and the session always notify.
        state.invalidateReview();
        QCOMPARE(preparation.size(), 1);
        QCOMPARE(clarifications.size(), 1);
        QCOMPARE(trello.size(), 2);
        state.setExecution(std::nullopt);
        QCOMPARE(execution.size(), 1);
    }

    void resets()
    {
        AgentWorkspaceState state;
        state.setRequest(QStringLiteral("r"));
        state.setExcerpt(QStringLiteral("e"));
        state.setAnswer(QStringLiteral("a"));
        state.setError(QStringLiteral("x"));
        state.setNeedsAccess(true);
        state.setTrelloSetupRequired(true);
        state.setClarifications({ clarification("Q", "A") });
        state.setPreparation(AgentPreparation::askQuestion(QStringLiteral("Q2")));
        state.setExecution(AgentExecution { AgentExecutor::Kind::devin, QUrl(sessionLink()) });

        state.invalidateReview();
        QVERIFY(!state.preparation());
        QVERIFY(state.clarifications().isEmpty());
        QVERIFY(state.answer().isEmpty() && state.error().isEmpty());
        QVERIFY(!state.needsAccess() && !state.trelloSetupRequired());
        QCOMPARE(state.request(), QStringLiteral("r"));
        QCOMPARE(state.excerpt(), QStringLiteral("e"));
        QVERIFY(state.execution());
        QVERIFY(state.executionValue().isValid());

        state.newRecording();
        QVERIFY(state.request().isEmpty() && state.excerpt().isEmpty());
        QVERIFY(!state.execution());
        QVERIFY(!state.executionValue().isValid());
    }

    void destroyedWhileInFlight();
};

void TestAgentWorkspaceState::destroyedWhileInFlight()
{
    TestHttpServer server;
    const AgentClient client(server.url(), QStringLiteral("c"));
    auto* state = new AgentWorkspaceState;
    reachReview(*state, server, client);
    const AgentReview proposal = *state->preparation()->review();

    server.enqueue(questionAnswer(QStringLiteral("Q"), 100));
    QCoro::Task<> preparing = state->prepare(client);
    delete state;
    QCoro::waitFor(std::move(preparing));

    state = new AgentWorkspaceState;
    server.enqueue(executionAnswer(QStringLiteral("computer_use"), sessionLink(), 100));
    QCoro::Task<> launching = state->launch(client, proposal);
    delete state;
    QCoro::waitFor(std::move(launching));
    QCOMPARE(server.requests().size(), 3);
}

QTEST_GUILESS_MAIN(TestAgentWorkspaceState)
#include "tst_agentworkspacestate.moc"
