#include "agentanswers.h"
#include "agentclient.h"
#include "blockingwait.h"
#include "processmemory.h"
#include "testhttpserver.h"

#include <QCoroTask>
#include <QJsonArray>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QTest>

using namespace Qt::StringLiterals;

Q_DECLARE_METATYPE(ScriptedResponse)

namespace {

// The outcome of an operation that was expected to fail.
struct Caught
{
    bool failure = false; // an AgentClient::Failure, rather than any other error
    QString message;
    std::optional<int> status;
    std::optional<QString> code;
};

template<typename Result> std::optional<Caught> errorOf(QCoro::Task<Result> task)
{
    try {
        blockingWait(std::move(task));
    } catch (const AgentClient::Failure& failure) {
        return Caught { true, failure.message(), failure.status(), failure.code() };
    } catch (const std::exception& error) {
        return Caught { false, describeError(error), std::nullopt, std::nullopt };
    }
    return std::nullopt;
}

QString notConfirmed(int status)
{
    return u"L’agent n’a pas confirmé la requête (HTTP %1)."_s.arg(status);
}

const QString unreadable = u"Réponse de l’agent illisible."_s;

} // namespace

class TestAgentClient : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void preparationRequest_data();
    void preparationRequest();
    void failures_data();
    void failures();
    void nothingSent();
    void launchLink_data();
    void launchLink();
};

void TestAgentClient::preparationRequest_data()
{
    QTest::addColumn<QString>("root");
    QTest::addColumn<QString>("code");
    QTest::addColumn<QList<AgentClarification>>("asked");

    QTest::newRow("root with slash")
        << u"/"_s << u"code-équipe"_s << QList<AgentClarification> { { u"Quand ?"_s, u"Lundi"_s } };
    // An empty code still goes out, as "Bearer " and nothing after the space.
    QTest::newRow("root without slash, empty code")
        << QString() << QString() << QList<AgentClarification> {};
}

void TestAgentClient::preparationRequest()
{
    QFETCH(QString, root);
    QFETCH(QString, code);
    QFETCH(QList<AgentClarification>, asked);
    TestHttpServer server;
    server.enqueue(
        ScriptedResponse::json(200, R"({"status":"needs_clarification","question":"Qui ?"})"));
    server.enqueue(ScriptedResponse::json(200, R"({"planning":true,"trello":false,"devin":true})"));
    const AgentClient client(server.url(root), code);

    const AgentPreparation answer
        = blockingWait(client.prepare(u"Créer une fiche"_s, u"  extrait tel quel \n"_s, asked));
    QCOMPARE(*answer.question(), u"Qui ?"_s);
    QCOMPARE(blockingWait(client.access()),
        (AgentAccess { .planning = true, .trello = false, .devin = true }));

    QCOMPARE(server.requests().size(), 2);
    const RecordedRequest request = server.requests().constFirst();
    QCOMPARE(request.method, "POST"_ba);
    QCOMPARE(request.target, "/api/agent-prepare"_ba);
    QCOMPARE(request.header("Content-Type"), "application/json"_ba);
    // The server reads the header without its trailing blank.
    QCOMPARE(request.header("Authorization"), (u"Bearer "_s + code).trimmed().toUtf8());
    // Compact JSON: nothing between tokens outside the strings.
    QVERIFY(!request.body.contains('\n') && !request.body.contains(": "));
    QJsonArray clarifications;
    for (const AgentClarification& clarification : asked) {
        clarifications.append(QJsonObject {
            { u"question"_s, clarification.question }, { u"answer"_s, clarification.answer } });
    }
    QCOMPARE(QJsonDocument::fromJson(request.body).object(),
        (QJsonObject { { u"task"_s, u"Créer une fiche"_s },
            { u"transcript"_s, u"  extrait tel quel \n"_s },
            { u"clarifications"_s, clarifications } }));
    QCOMPARE(server.requests().at(1).target, "/api/agent-access"_ba);
    QCOMPARE(server.requests().at(1).body, "{}"_ba);
}

void TestAgentClient::failures_data()
{
    QTest::addColumn<ScriptedResponse>("response");
    QTest::addColumn<QString>("message");
    QTest::addColumn<int>("status"); // 0: none
    QTest::addColumn<QString>("code"); // null: none
    QTest::addColumn<bool>("failure"); // an AgentClient::Failure, not a transport error

    // Refusals the agent's error record cannot read fall back to the status; how that record
    // decodes is the record tests' business.
    const QString none;
    const ScriptedResponse html { .status = 401,
        .headers = { { "Content-Type", "text/html" } },
        .body = "<html><body>Connexion requise</body></html>" };
    // Were a redirection followed, the next answer would be a success.
    const ScriptedResponse moved { .status = 302, .headers = { { "Location", "/elsewhere/" } } };
    // How the exchange tells a length from none is played through the transcription client.
    ScriptedResponse unannounced = ScriptedResponse::json(200, {});
    unannounced.filler = qint64(1) << 30;
    unannounced.declareLength = false;
    ScriptedResponse drip = ScriptedResponse::json(200, R"({"status":"ready"})");
    drip.dripMs = 100;

    QTest::newRow("401 with HTML") << html << notConfirmed(401) << 401 << none << true;
    QTest::newRow("error response with code")
        << ScriptedResponse::json(409, R"({"error":"Reliez Trello.","code":"trello_setup"})")
        << u"Reliez Trello."_s << 409 << u"trello_setup"_s << true;
    QTest::newRow("redirect not followed") << moved << notConfirmed(302) << 302 << none << true;
    QTest::newRow("204 empty") << ScriptedResponse { .status = 204 } << unreadable << 0 << none
                               << true;
    QTest::newRow("1 GiB without a length") << unannounced << unreadable << 0 << none << true;
    QTest::newRow("long error text cut")
        << ScriptedResponse::json(403, R"({"error":")" + QByteArray(5000, 'a') + R"("})")
        << QString(QString(AgentClient::longestErrorText - 1, u'a') + u'…') << 403 << none << true;
    QTest::newRow("one byte at a time")
        << drip << u"Délai dépassé : l’échange avec l’agent est trop lent, abandonné après 2 s."_s
        << 0 << none << false;
    QTest::newRow("silence") << ScriptedResponse { .stall = true }
                             << u"Délai dépassé : l’agent ne répond plus depuis 1 s."_s << 0 << none
                             << false;
}

// What each answer makes of a request: the sentence, no second request, and never a gigabyte read.
void TestAgentClient::failures()
{
    QFETCH(ScriptedResponse, response);
    QFETCH(QString, message);
    QFETCH(int, status);
    QFETCH(QString, code);
    QFETCH(bool, failure);

    TestHttpServer server;
    server.enqueue(response);
    server.enqueue(
        ScriptedResponse::json(200, R"({"status":"needs_clarification","question":"Q"})"));
    // A session of its own follows redirections unless the request forbids it.
    QNetworkAccessManager session;
    AgentClient client(server.url(), u"c"_s, &session);
    // Short limits only where time is what is tested, so a loaded machine does not trip them.
    if (response.stall || response.dripMs > 0) {
        client.setTimeout(std::chrono::milliseconds(1000));
        client.setDeadline(std::chrono::milliseconds(1500));
    }
    QVERIFY(processmemory::resetPeak());
    const qint64 idle = processmemory::residentMiB();

    const std::optional<Caught> caught = errorOf(client.prepare(u"t"_s, u"e"_s, {}));

    QCOMPARE(server.requests().size(), 1);
    QVERIFY(caught);
    QCOMPARE(caught->failure, failure);
    QCOMPARE(caught->message, message);
    QCOMPARE(caught->status.value_or(0), status);
    QCOMPARE(caught->code.has_value(), !code.isNull());
    QCOMPARE(caught->code.value_or(QString()), code);
    // Reading the whole answer would take over a gigabyte; the limit is a few MiB plus buffers
    // (more under the address sanitizer, which keeps freed memory aside).
    const qint64 peak = processmemory::peakMiB();
    QVERIFY2(peak - idle < 400, qPrintable(u"%1 MiB above idle"_s.arg(peak - idle)));
}

// A code that would break the request's header, a closed port, an untrusted certificate.
void TestAgentClient::nothingSent()
{
    TestHttpServer server;
    const std::optional<Caught> injected
        = errorOf(AgentClient(server.url(), u"abc\r\nX-Injected: 1"_s).access());
    QVERIFY(injected && injected->failure);
    QCOMPARE(
        injected->message, u"Le code d’accès de l’équipe contient des caractères invalides."_s);
    QCOMPARE(injected->status, std::nullopt);
    QVERIFY(server.requests().isEmpty());

    QUrl closed;
    {
        TestHttpServer gone;
        closed = gone.url();
    }
    const std::optional<Caught> refused = errorOf(AgentClient(closed, u"c"_s).access());
    QVERIFY(refused && !refused->failure);
    QCOMPARE(refused->message,
        u"Connexion refusée par l’agent : aucun service n’écoute à cette adresse."_s);

    // A session trusts the system's authorities, not a throw-away certificate.
    TestHttpServer untrusted(TestHttpServer::Transport::Tls);
    QNetworkAccessManager session;
    const std::optional<Caught> certificate
        = errorOf(AgentClient(untrusted.url(), u"c"_s, &session).access());
    QVERIFY(certificate);
    QCOMPARE(
        certificate->message, u"Certificat de l’agent refusé : la connexion n’est pas sûre."_s);
    QVERIFY(untrusted.requests().isEmpty());
}

void TestAgentClient::launchLink_data()
{
    QTest::addColumn<QString>("proposed"); // the executor of the reviewed proposal
    QTest::addColumn<QString>("answered"); // the executor the server names
    QTest::addColumn<QString>("link"); // %c: the computer-use session host, %d: Devin's
    QTest::addColumn<bool>("accepted");

    const QString cu = u"computer_use"_s;
    const QString devin = u"devin"_s;
    QTest::newRow("port 443 written") << cu << cu << u"https://%c:443/s/42"_s << true;
    QTest::newRow("path, query, fragment")
        << cu << cu << u"https://%c/a/b?tab=log&x=1#fin"_s << true;
    QTest::newRow("devin session") << devin << devin << u"https://%d/sessions/9"_s << true;
    QTest::newRow("executor differs") << cu << devin << u"https://%d/s/1"_s << false;
    QTest::newRow("other executor's host") << cu << cu << u"https://%d/s/1"_s << false;
    QTest::newRow("http") << cu << cu << u"http://%c/s/42"_s << false;
    QTest::newRow("subdomain") << cu << cu << u"https://evil.%c/s"_s << false;
    QTest::newRow("user name") << cu << cu << u"https://ana@%c/s"_s << false;
    QTest::newRow("other port") << cu << cu << u"https://%c:8443/s"_s << false;
}

void TestAgentClient::launchLink()
{
    QFETCH(QString, proposed);
    QFETCH(QString, answered);
    QFETCH(QString, link);
    QFETCH(bool, accepted);
    link.replace(u"%c"_s, AgentExecutor(AgentExecutor::Kind::computerUse).sessionHost())
        .replace(u"%d"_s, AgentExecutor(AgentExecutor::Kind::devin).sessionHost());

    TestHttpServer server;
    server.enqueue(ScriptedResponse::json(200,
        QJsonDocument(QJsonObject { { u"executor"_s, answered }, { u"url"_s, link } })
            .toJson(QJsonDocument::Compact)));
    const AgentClient client(server.url(), u"c"_s);
    AgentReview proposal = AgentReview::fromJson(agentanswers::proposalJson(proposed));
    proposal.approval = u"tok-\"42\""_s;

    if (accepted) {
        const AgentExecution execution = blockingWait(client.launch(proposal));
        QCOMPARE(execution.url, QUrl(link));
        QCOMPARE(execution.executor, proposal.executor);
    } else {
        const std::optional<Caught> caught = errorOf(client.launch(proposal));
        QVERIFY(caught && caught->failure);
        QCOMPARE(caught->message, u"Le service n’a pas renvoyé de lien de session valide."_s);
    }
    const RecordedRequest request = server.requests().constFirst();
    QCOMPARE(request.target, "/api/agent-execute"_ba);
    QCOMPARE(QJsonDocument::fromJson(request.body).object(),
        (QJsonObject { { u"approval"_s, u"tok-\"42\""_s }, { u"confirmed"_s, true } }));
}

QTEST_GUILESS_MAIN(TestAgentClient)
#include "tst_agentclient.moc"
