#include "agentanswers.h"
#include "agentworkspacestate.h"

#include <QSignalSpy>
#include <QTest>

using namespace Qt::StringLiterals;

Q_DECLARE_METATYPE(ScriptedResponse)

using namespace agentanswers;

namespace {

QString sessionLink()
{
    return u"https://%1/sessions/77"_s.arg(
        AgentExecutor(AgentExecutor::Kind::computerUse).sessionHost());
}

QJsonObject bodyOf(const RecordedRequest& request)
{
    return QJsonDocument::fromJson(request.body).object();
}

QList<AgentClarification> clarificationsSent(const RecordedRequest& request)
{
    QList<AgentClarification> list;
    const QJsonArray array = bodyOf(request).value(u"clarifications"_s).toArray();
    for (const QJsonValue& entry : array) {
        list.append(AgentClarification::fromJson(entry));
    }
    return list;
}

AgentClarification clarification(const char* question, const char* answer)
{
    return AgentClarification { QString::fromUtf8(question), QString::fromUtf8(answer) };
}

// A workflow state with a loopback team server and a client of it.
struct Workspace
{
    TestHttpServer server;
    AgentClient client { server.url(), u"c"_s };
    AgentWorkspaceState state;

    // Takes the state to Reviewing through a real preparation; the proposal it reached.
    AgentReview reachReview()
    {
        state.setRequest(u"Relancer le client"_s);
        server.enqueue(jsonAnswer(proposalJson()));
        QCoro::waitFor(state.prepare(client));
        if (!state.reviewing()) {
            qFatal("the team server's proposal was not reached");
        }
        return *state.preparation()->review();
    }

    // Asked "Q2" after "Q1" was answered "A1", with `answer` typed.
    void answering(const QString& answer)
    {
        state.setRequest(u"Relance"_s);
        state.setClarifications({ clarification("Q1", "A1") });
        state.setPreparation(AgentPreparation::askQuestion(u"Q2"_s));
        state.setAnswer(answer);
    }
};

} // namespace

class TestAgentWorkspaceState : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // The shared session's HTTP thread is let finish with the last connections before the
    // application ends: work still queued there when it is stopped at exit shows as a leak.
    void cleanupTestCase()
    {
        QTest::qWait(100);
        AgentClient::sharedSession()->clearConnectionCache();
    }

    // Blank fields send nothing; what is sent is trimmed, the fields keep what was typed.
    void clarificationLoopToLaunch()
    {
        Workspace w;
        AgentWorkspaceState& state = w.state;
        const QString request = u" \n\t \u00a0"_s;
        const QString excerpt = u"\n 10:02 Micro On relance.  \n"_s;
        state.setRequest(request);
        QCoro::waitFor(state.prepare(w.client));
        QVERIFY(w.server.requests().isEmpty() && !state.asking());

        state.setExcerpt(excerpt);
        w.server.enqueue(questionAnswer(u"Pour quel client ?"_s));
        QCoro::waitFor(state.prepare(w.client));
        QCOMPARE(state.question(), u"Pour quel client ?"_s);
        QVERIFY(state.asking() && !state.busy());
        QCOMPARE(bodyOf(w.server.requests().at(0)),
            (QJsonObject { { u"task"_s, QString() },
                { u"transcript"_s, u"10:02 Micro On relance."_s },
                { u"clarifications"_s, QJsonArray() } }));

        state.setAnswer(u"  Dupont\n"_s);
        w.server.enqueue(jsonAnswer(proposalJson()));
        QCoro::waitFor(state.prepare(w.client, state.question()));
        const QList<AgentClarification> answered { clarification("Pour quel client ?", "Dupont") };
        QCOMPARE(clarificationsSent(w.server.requests().at(1)), answered);
        QVERIFY(state.reviewing());
        QCOMPARE(state.clarifications(), answered);
        QCOMPARE(state.answer(), QString());

        w.server.enqueue(executionAnswer(u"computer_use"_s, sessionLink()));
        QCoro::waitFor(state.launch(w.client, *state.preparation()->review()));
        QVERIFY(state.execution());
        QCOMPARE(state.execution()->url, QUrl(sessionLink()));
        QVERIFY(!state.preparation() && !state.busy());
        QCOMPARE(state.clarifications(), answered);
        QCOMPARE(state.request(), request);
        QCOMPARE(state.excerpt(), excerpt);

        // A new preparation sends the recorded answers again; its success forgets the last session.
        w.server.enqueue(questionAnswer(u"Quelle échéance ?"_s));
        QCoro::waitFor(state.prepare(w.client));
        QCOMPARE(clarificationsSent(w.server.requests().at(3)), answered);
        QVERIFY(!state.execution());
        QCOMPARE(w.server.requests().size(), 4);
    }

    void answerFailedThenInvalidatedInFlight()
    {
        Workspace w;
        AgentWorkspaceState& state = w.state;
        w.answering(u"  A2 \n"_s);

        w.server.enqueue(ScriptedResponse { .status = 502, .body = "<html>Bad gateway</html>" });
        QCoro::waitFor(state.prepare(w.client, u"Q2"_s));
        const QList<AgentClarification> both { clarification("Q1", "A1"),
            clarification("Q2", "A2") };
        QCOMPARE(clarificationsSent(w.server.requests().at(0)), both);
        QCOMPARE(state.error(), u"L’agent n’a pas confirmé la requête (HTTP 502)."_s);
        QCOMPARE(state.clarifications(), QList { both.first() });
        QCOMPARE(state.answer(), u"  A2 \n"_s);
        QCOMPARE(state.question(), u"Q2"_s);
        QVERIFY(!state.needsAccess() && !state.busy());

        // Invalidated while an answer is on its way: the running preparation still writes its
        // answer and the list it sent.
        w.answering(u"A2"_s);
        w.server.enqueue(jsonAnswer(proposalJson(), 200));
        QCoro::Task<> running = state.prepare(w.client, u"Q2"_s);
        state.invalidateReview();
        QVERIFY(state.busy() && state.clarifications().isEmpty());
        QCoro::waitFor(std::move(running));
        QVERIFY(state.reviewing() && !state.busy());
        QCOMPARE(state.clarifications(), both);
    }

    // A preparation clears a refusal before it sends; only a refusal by the server asks for new
    // access (the 401 itself is played through the page), a lost connection does not.
    void preparationClearsARefusal()
    {
        Workspace w;
        AgentWorkspaceState& state = w.state;
        state.setExcerpt(u"Extrait"_s);
        state.setNeedsAccess(true);
        state.setError(u"Code d’accès refusé."_s);

        w.server.enqueue(questionAnswer(u"Q"_s, 100));
        QCoro::Task<> running = state.prepare(w.client);
        QVERIFY(state.busy() && !state.needsAccess());
        QCOMPARE(state.error(), QString());
        QCoro::waitFor(std::move(running));
        QVERIFY(state.asking());

        QUrl closed;
        {
            TestHttpServer gone;
            closed = gone.url();
        }
        state.setNeedsAccess(true);
        QCoro::waitFor(state.prepare(AgentClient(closed, u"c"_s), u"Q"_s));
        QVERIFY(!state.needsAccess());
        QVERIFY(!state.error().isEmpty());
        QVERIFY(state.asking() && !state.busy());
    }

    void launchFailures_data()
    {
        QTest::addColumn<ScriptedResponse>("response");
        QTest::addColumn<bool>("keepsProposal");
        QTest::addColumn<bool>("needsAccess");
        QTest::addColumn<bool>("trelloSetup");
        QTest::addColumn<QString>("error");

        const auto json = &ScriptedResponse::json;
        QTest::newRow("401") << json(401, R"({"error":"Code refusé."})") << true << true << false
                             << u"Code refusé."_s;
        QTest::newRow("trello_setup")
            << json(409, R"({"error":"Reliez Trello.","code":"trello_setup"})") << true << false
            << true << u"Reliez Trello."_s;
        QTest::newRow("401 with trello_setup")
            << json(401, R"({"error":"x","code":"trello_setup"})") << true << true << true
            << u"x"_s;
        QTest::newRow("bad link") << executionAnswer(
            u"computer_use"_s, u"http://platform.example/s/1"_s)
                                  << false << false << false
                                  << u"Le service n’a pas renvoyé de lien de session valide."_s;
        QTest::newRow("other code") << json(403, R"({"error":"Non.","code":"quota"})") << false
                                    << false << false << u"Non."_s;
        QTest::newRow("empty message")
            << json(500, R"({"error":""})") << false << false << false << QString();
    }

    void launchFailures()
    {
        QFETCH(ScriptedResponse, response);
        Workspace w;
        AgentWorkspaceState& state = w.state;
        const AgentReview proposal = w.reachReview();
        state.setClarifications({ clarification("Q", "A") });
        state.setError(u"ancien message"_s);

        w.server.enqueue(response);
        QCoro::waitFor(state.launch(w.client, proposal));
        QTEST(state.reviewing(), "keepsProposal");
        QTEST(state.needsAccess(), "needsAccess");
        QTEST(state.trelloSetupRequired(), "trelloSetup");
        QTEST(state.error(), "error");
        QVERIFY(!state.busy() && !state.execution());
        QCOMPARE(state.clarifications(), QList { clarification("Q", "A") });
        QCOMPARE(state.request(), u"Relancer le client"_s);
    }

    void oneRequestAtATimeAndDestroyedInFlight()
    {
        Workspace w;
        AgentWorkspaceState& state = w.state;
        const AgentReview proposal = w.reachReview();

        w.server.enqueue(questionAnswer(u"Q"_s, 150));
        QCoro::Task<> first = state.prepare(w.client);
        QSignalSpy busy(&state, &AgentWorkspaceState::busyChanged);
        QCoro::waitFor(state.prepare(w.client));
        QCoro::waitFor(state.launch(w.client, proposal));
        QVERIFY(state.busy());
        QVERIFY(busy.isEmpty());
        QCoro::waitFor(std::move(first));
        QCOMPARE(w.server.requests().size(), 2);
        QVERIFY(state.asking());

        // Without a client a launch does nothing at all.
        QCoro::waitFor(state.launch(std::nullopt, proposal));
        QCOMPARE(w.server.requests().size(), 2);
        QCOMPARE(busy.size(), 1);

        // A state destroyed while its request is in flight is not written to when the answer comes.
        auto* preparing = new AgentWorkspaceState;
        preparing->setRequest(u"Relance"_s);
        w.server.enqueue(questionAnswer(u"Q"_s, 100));
        QCoro::Task<> preparation = preparing->prepare(w.client);
        delete preparing;
        QCoro::waitFor(std::move(preparation));
        auto* launching = new AgentWorkspaceState;
        w.server.enqueue(executionAnswer(u"computer_use"_s, sessionLink(), 100));
        QCoro::Task<> launch = launching->launch(w.client, proposal);
        delete launching;
        QCoro::waitFor(std::move(launch));
        QCOMPARE(w.server.requests().size(), 4);
    }

    // What a new review and a new recording clear, and what they leave. An unchanged request does
    // not notify: the page takes a new request as a reason to drop the proposal.
    void resets()
    {
        AgentWorkspaceState state;
        QSignalSpy request(&state, &AgentWorkspaceState::requestChanged);
        QSignalSpy trello(&state, &AgentWorkspaceState::trelloSetupRequiredChanged);
        QSignalSpy execution(&state, &AgentWorkspaceState::executionChanged);
        state.setRequest(u"r"_s);
        state.setRequest(u"r"_s);
        state.setExcerpt(u"e"_s);
        state.setAnswer(u"a"_s);
        state.setError(u"x"_s);
        state.setNeedsAccess(true);
        state.setTrelloSetupRequired(true);
        state.setClarifications({ clarification("Q", "A") });
        state.setPreparation(AgentPreparation::askQuestion(u"Q2"_s));
        state.setExecution(AgentExecution { AgentExecutor::Kind::devin, QUrl(sessionLink()) });
        QCOMPARE(request.size(), 1);

        state.invalidateReview();
        QCOMPARE(trello.size(), 2);
        QVERIFY(!state.preparation());
        QVERIFY(state.clarifications().isEmpty());
        QVERIFY(state.answer().isEmpty() && state.error().isEmpty());
        QVERIFY(!state.needsAccess() && !state.trelloSetupRequired());
        QCOMPARE(state.request(), u"r"_s);
        QCOMPARE(state.excerpt(), u"e"_s);
        QVERIFY(state.execution());

        state.newRecording();
        QVERIFY(state.request().isEmpty() && state.excerpt().isEmpty());
        QVERIFY(!state.execution());
        QCOMPARE(execution.size(), 2);
    }
};

QTEST_GUILESS_MAIN(TestAgentWorkspaceState)
#include "tst_agentworkspacestate.moc"
