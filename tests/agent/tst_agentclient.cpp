#include "agentclient.h"
#include "blockingwait.h"
#include "processmemory.h"
#include "testhttpserver.h"

#include <QCoroTask>
#include <QJsonArray>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkRequest>
#include <QTest>

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
    return QStringLiteral("L’agent n’a pas confirmé la requête (HTTP %1).").arg(status);
}

const QString unreadable = QStringLiteral("Réponse de l’agent illisible.");
const QString badLink = QStringLiteral("Le service n’a pas renvoyé de lien de session valide.");

ScriptedResponse readyAnswer()
{
    return ScriptedResponse::json(200,
        R"({"status":"ready","executor":"devin","destination":"Dépôt web","title":"T","task":"Corriger",)"
        R"("quote":"","clarifications":[],"approval":"tok-7"})");
}

AgentReview review(AgentExecutor executor)
{
    return AgentReview { .executor = executor,
        .destination = QStringLiteral("https://trello.com/b/1"),
        .title = QStringLiteral("Fiche"),
        .task = QStringLiteral("Créer la fiche"),
        .quote = {},
        .clarifications = {},
        .approval = QStringLiteral("tok-\"42\"") };
}

// A session that keeps every request it is given, then sends it as usual.
class RecordingSession : public QNetworkAccessManager
{
public:
    RecordingSession() { setRedirectPolicy(QNetworkRequest::ManualRedirectPolicy); }
    QList<QNetworkRequest> sent;

protected:
    QNetworkReply* createRequest(
        Operation operation, const QNetworkRequest& request, QIODevice* body) override
    {
        sent.append(request);
        return QNetworkAccessManager::createRequest(operation, request, body);
    }
};

} // namespace

class TestAgentClient : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void requestForm_data();
    void requestForm();
    void exactHeaders();
    void access();
    void failures_data();
    void failures();
    void redirectNotFollowed();
    void codeWithLineBreakNotSent();
    void transportErrors();
    void hostileServers_data();
    void hostileServers();
    void launchLink_data();
    void launchLink();
};

void TestAgentClient::requestForm_data()
{
    QTest::addColumn<QString>("root");
    QTest::newRow("root with slash") << QStringLiteral("/");
    QTest::newRow("root without slash") << QString();
}

void TestAgentClient::requestForm()
{
    QFETCH(QString, root);
    TestHttpServer server;
    server.enqueue(
        ScriptedResponse::json(200, R"({"status":"needs_clarification","question":"Qui ?"})"));

    const AgentClient client(server.url(root), QStringLiteral("code-équipe"));
    QCOMPARE(client.endpointURL(QStringLiteral("agent-prepare")),
        server.url(QStringLiteral("/api/agent-prepare")));
    const QList<AgentClarification> asked { { QStringLiteral("Quand ?"),
        QStringLiteral("Lundi") } };
    const AgentPreparation answer = blockingWait(client.prepare(
        QStringLiteral("Créer une fiche"), QStringLiteral("  extrait tel quel \n"), asked));
    QCOMPARE(*answer.question(), QStringLiteral("Qui ?"));

    QCOMPARE(server.requests().size(), 1);
    const RecordedRequest request = server.requests().constFirst();
    QCOMPARE(request.method, QByteArray("POST"));
    QCOMPARE(request.target, QByteArray("/api/agent-prepare"));
    QCOMPARE(request.header("Content-Type"), QByteArray("application/json"));
    QCOMPARE(request.header("Authorization"), QStringLiteral("Bearer code-équipe").toUtf8());
    // Compact JSON: nothing between tokens outside the strings.
    QVERIFY(!request.body.contains('\n') && !request.body.contains(": "));
    QCOMPARE(QJsonDocument::fromJson(request.body).object(),
        (QJsonObject { { QStringLiteral("task"), QStringLiteral("Créer une fiche") },
            { QStringLiteral("transcript"), QStringLiteral("  extrait tel quel \n") },
            { QStringLiteral("clarifications"),
                QJsonArray {
                    QJsonObject { { QStringLiteral("question"), QStringLiteral("Quand ?") },
                        { QStringLiteral("answer"), QStringLiteral("Lundi") } } } } }));
}

void TestAgentClient::exactHeaders()
{
    TestHttpServer server;
    server.enqueue(readyAnswer());
    RecordingSession session;
    const AgentClient client(server.url(), QString(), &session);
    const AgentPreparation answer = blockingWait(client.prepare({}, QStringLiteral("x"), {}));
    QVERIFY(answer.isReview());
    QCOMPARE(answer.review()->approval, QStringLiteral("tok-7"));

    QCOMPARE(session.sent.size(), 1);
    const QNetworkRequest& sent = session.sent.constFirst();
    QCOMPARE(sent.rawHeaderList(), (QList<QByteArray> { "Content-Type", "Authorization" }));
    // An empty code still goes out, as "Bearer " and nothing after the space.
    QCOMPARE(sent.rawHeader("Authorization"), QByteArray("Bearer "));
    QCOMPARE(sent.attribute(QNetworkRequest::RedirectPolicyAttribute).toInt(),
        int(QNetworkRequest::ManualRedirectPolicy));
    QCOMPARE(server.requests().size(), 1);
    QCOMPARE(QJsonDocument::fromJson(server.requests().constFirst().body)
                 .object()
                 .value(QStringLiteral("clarifications")),
        QJsonValue(QJsonArray()));
}

void TestAgentClient::access()
{
    TestHttpServer server;
    server.enqueue(ScriptedResponse::json(200, R"({"planning":true,"trello":false,"devin":true})"));
    const AgentAccess granted
        = blockingWait(AgentClient(server.url(), QStringLiteral("c")).access());
    QCOMPARE(granted, (AgentAccess { .planning = true, .trello = false, .devin = true }));
    const RecordedRequest request = server.requests().constFirst();
    QCOMPARE(request.target, QByteArray("/api/agent-access"));
    QCOMPARE(request.body, QByteArray("{}"));
}

void TestAgentClient::failures_data()
{
    QTest::addColumn<ScriptedResponse>("response");
    QTest::addColumn<QString>("message");
    QTest::addColumn<int>("status"); // 0: none
    QTest::addColumn<QString>("code"); // null: none

    const QString none;
    ScriptedResponse html;
    html.status = 401;
    html.headers.append(qMakePair(QByteArray("Content-Type"), QByteArray("text/html")));
    html.body = "<html><body>Connexion requise</body></html>";
    ScriptedResponse emptyNoContent;
    emptyNoContent.status = 204;

    QTest::newRow("401 with error response")
        << ScriptedResponse::json(401, R"({"error":"Code d’équipe refusé."})")
        << QStringLiteral("Code d’équipe refusé.") << 401 << none;
    QTest::newRow("401 with HTML") << html << notConfirmed(401) << 401 << none;
    QTest::newRow("error response with code")
        << ScriptedResponse::json(409, R"({"error":"Reliez Trello.","code":"trello_setup"})")
        << QStringLiteral("Reliez Trello.") << 409 << QStringLiteral("trello_setup");
    QTest::newRow("empty error text")
        << ScriptedResponse::json(500, R"({"error":""})") << QString() << 500 << none;
    QTest::newRow("error of the wrong type")
        << ScriptedResponse::json(400, R"({"error":12})") << notConfirmed(400) << 400 << none;
    QTest::newRow("404 without body")
        << ScriptedResponse::json(404, {}) << notConfirmed(404) << 404 << none;
    QTest::newRow("unknown status")
        << ScriptedResponse::json(200, R"({"status":"pending"})") << unreadable << 0 << none;
    QTest::newRow("capitalised status")
        << ScriptedResponse::json(200, R"({"status":"Needs_clarification","question":"Q"})")
        << unreadable << 0 << none;
    QTest::newRow("204 empty") << emptyNoContent << unreadable << 0 << none;
    QTest::newRow("2xx not JSON") << ScriptedResponse::json(200, "ok") << unreadable << 0 << none;
    QTest::newRow("2xx missing key")
        << ScriptedResponse::json(201, R"({"status":"needs_clarification"})") << unreadable << 0
        << none;
}

void TestAgentClient::failures()
{
    QFETCH(ScriptedResponse, response);
    QFETCH(QString, message);
    QFETCH(int, status);
    QFETCH(QString, code);

    TestHttpServer server;
    server.enqueue(response);
    const AgentClient client(server.url(), QStringLiteral("c"));
    const std::optional<Caught> caught
        = errorOf(client.prepare(QStringLiteral("t"), QStringLiteral("e"), {}));
    QVERIFY(caught);
    QVERIFY(caught->failure);
    QCOMPARE(caught->message, message);
    QCOMPARE(caught->status.value_or(0), status);
    QCOMPARE(caught->code.has_value(), !code.isNull());
    QCOMPARE(caught->code.value_or(QString()), code);
}

void TestAgentClient::redirectNotFollowed()
{
    TestHttpServer server;
    server.setHandler([&server](const RecordedRequest& request) {
        if (request.target == "/elsewhere/api/agent-access") {
            return ScriptedResponse::json(200, R"({"planning":true,"trello":true,"devin":true})");
        }
        ScriptedResponse redirect;
        redirect.status = 302;
        redirect.headers.append(qMakePair(QByteArray("Location"),
            server.url(QStringLiteral("/elsewhere/api/agent-access")).toEncoded()));
        if (request.target == "/explained/api/agent-access") {
            redirect.headers.append(
                qMakePair(QByteArray("Content-Type"), QByteArray("application/json")));
            redirect.body = R"({"error":"Le site a déménagé."})";
        }
        return redirect;
    });

    const std::optional<Caught> bare
        = errorOf(AgentClient(server.url(), QStringLiteral("c")).access());
    QVERIFY(bare && bare->failure);
    QCOMPARE(bare->message, notConfirmed(302));
    QCOMPARE(bare->status, 302);

    const std::optional<Caught> explained = errorOf(
        AgentClient(server.url(QStringLiteral("/explained")), QStringLiteral("c")).access());
    QVERIFY(explained && explained->failure);
    QCOMPARE(explained->message, QStringLiteral("Le site a déménagé."));
    QCOMPARE(explained->status, 302);

    QCOMPARE(server.requests().size(), 2); // the redirection target was never asked
}

void TestAgentClient::codeWithLineBreakNotSent()
{
    TestHttpServer server;
    server.enqueue(ScriptedResponse::json(200, R"({"planning":true,"trello":true,"devin":true})"));
    const std::optional<Caught> caught
        = errorOf(AgentClient(server.url(), QStringLiteral("abc\r\nX-Injected: 1")).access());
    QVERIFY(caught && caught->failure);
    QCOMPARE(caught->message,
        QStringLiteral("Le code d’accès de l’équipe contient des caractères invalides."));
    QCOMPARE(caught->status, std::nullopt);
    QVERIFY(server.requests().isEmpty());
}

void TestAgentClient::transportErrors()
{
    QUrl closed;
    {
        TestHttpServer gone;
        closed = gone.url();
    }
    const std::optional<Caught> refused
        = errorOf(AgentClient(closed, QStringLiteral("c")).access());
    QVERIFY(refused);
    QVERIFY(!refused->failure);
    QCOMPARE(refused->message,
        QStringLiteral("Connexion refusée par l’agent : aucun service n’écoute à cette adresse."));

    // A session trusts the system's authorities, not a throw-away certificate.
    TestHttpServer untrusted(TestHttpServer::Transport::Tls);
    QNetworkAccessManager session;
    const std::optional<Caught> certificate
        = errorOf(AgentClient(untrusted.url(), QStringLiteral("c"), &session).access());
    QVERIFY(certificate);
    QCOMPARE(certificate->message,
        QStringLiteral("Certificat de l’agent refusé : la connexion n’est pas sûre."));
    QVERIFY(untrusted.requests().isEmpty());
}

void TestAgentClient::hostileServers_data()
{
    QTest::addColumn<ScriptedResponse>("response");
    QTest::addColumn<QString>("message");
    QTest::addColumn<bool>("failure"); // an AgentClient::Failure, not a transport error

    constexpr qint64 gib = qint64(1) << 30;
    ScriptedResponse announced = ScriptedResponse::json(200, {});
    announced.filler = gib;
    ScriptedResponse unannounced = announced;
    unannounced.declareLength = false;
    ScriptedResponse hugeError = unannounced;
    hugeError.status = 500;
    hugeError.body = R"({"error":")";
    ScriptedResponse longError
        = ScriptedResponse::json(403, R"({"error":")" + QByteArray(5000, 'a') + R"("})");
    ScriptedResponse drip = ScriptedResponse::json(200, R"({"planning":true})");
    drip.dripMs = 100;
    ScriptedResponse stall;
    stall.stall = true;

    QTest::newRow("1 GiB announced") << announced << unreadable << true;
    QTest::newRow("1 GiB without a length") << unannounced << unreadable << true;
    QTest::newRow("1 GiB error answer") << hugeError << unreadable << true;
    QTest::newRow("long error text cut")
        << longError << QString(QString(AgentClient::longestErrorText - 1, u'a') + u'…') << true;
    QTest::newRow("one byte at a time")
        << drip
        << QStringLiteral(
               "Délai dépassé : l’échange avec l’agent est trop lent, abandonné après 2 s.")
        << false;
    QTest::newRow("silence") << stall
                             << QStringLiteral("Délai dépassé : l’agent ne répond plus depuis 1 s.")
                             << false;
}

void TestAgentClient::hostileServers()
{
    QFETCH(ScriptedResponse, response);
    QFETCH(QString, message);
    QFETCH(bool, failure);
    TestHttpServer server;
    server.enqueue(response);
    AgentClient client(server.url(), QStringLiteral("c"));
    client.setTimeout(std::chrono::milliseconds(1000));
    client.setDeadline(std::chrono::milliseconds(1500));
    QVERIFY(processmemory::resetPeak());
    const qint64 idle = processmemory::residentMiB();

    const std::optional<Caught> caught = errorOf(client.access());

    QVERIFY(caught);
    QCOMPARE(caught->message, message);
    QCOMPARE(caught->failure, failure);
    // Reading the whole answer would take over a gigabyte; the limit is a few MiB plus buffers
    // (more under the address sanitizer, which keeps freed memory aside).
    const qint64 peak = processmemory::peakMiB();
    QVERIFY2(peak - idle < 400, qPrintable(QStringLiteral("%1 MiB above idle").arg(peak - idle)));
}

void TestAgentClient::launchLink_data()
{
    QTest::addColumn<QString>("reviewExecutor");
    QTest::addColumn<QString>("answerExecutor");
    QTest::addColumn<QString>("link");
    QTest::addColumn<bool>("accepted");

    const QString cu = QStringLiteral("computer_use");
    const QString devin = QStringLiteral("devin");
    const QString host = AgentExecutor(AgentExecutor::Kind::computerUse).sessionHost();
    const auto on = [&host](const QString& prefix, const QString& suffix) {
        return prefix + host + suffix;
    };
    QTest::newRow("plain") << cu << cu << on(QStringLiteral("https://"), QStringLiteral("/s/42"))
                           << true;
    QTest::newRow("port 443 written")
        << cu << cu << on(QStringLiteral("https://"), QStringLiteral(":443/s/42")) << true;
    QTest::newRow("path, query, fragment")
        << cu << cu << on(QStringLiteral("https://"), QStringLiteral("/a/b?tab=log&x=1#fin"))
        << true;
    QTest::newRow("devin session")
        << devin << devin
        << QStringLiteral("https://%1/sessions/9")
               .arg(AgentExecutor(AgentExecutor::Kind::devin).sessionHost())
        << true;
    QTest::newRow("executor differs")
        << cu << devin
        << QStringLiteral("https://%1/s/1")
               .arg(AgentExecutor(AgentExecutor::Kind::devin).sessionHost())
        << false;
    QTest::newRow("other executor's host")
        << cu << cu
        << QStringLiteral("https://%1/s/1")
               .arg(AgentExecutor(AgentExecutor::Kind::devin).sessionHost())
        << false;
    QTest::newRow("http") << cu << cu << on(QStringLiteral("http://"), QStringLiteral("/s/42"))
                          << false;
    QTest::newRow("subdomain") << cu << cu
                               << on(QStringLiteral("https://evil."), QStringLiteral("/s"))
                               << false;
    QTest::newRow("suffix host") << cu << cu
                                 << on(QStringLiteral("https://"), QStringLiteral(".example.net/s"))
                                 << false;
    QTest::newRow("user name") << cu << cu
                               << on(QStringLiteral("https://ana@"), QStringLiteral("/s")) << false;
    QTest::newRow("password") << cu << cu
                              << on(QStringLiteral("https://:pw@"), QStringLiteral("/s")) << false;
    QTest::newRow("other port") << cu << cu
                                << on(QStringLiteral("https://"), QStringLiteral(":8443/s"))
                                << false;
    QTest::newRow("no host") << cu << cu << QStringLiteral("https:///s/42") << false;
}

void TestAgentClient::launchLink()
{
    QFETCH(QString, reviewExecutor);
    QFETCH(QString, answerExecutor);
    QFETCH(QString, link);
    QFETCH(bool, accepted);

    TestHttpServer server;
    server.enqueue(ScriptedResponse::json(200,
        QJsonDocument(QJsonObject { { QStringLiteral("executor"), answerExecutor },
                          { QStringLiteral("url"), link } })
            .toJson(QJsonDocument::Compact)));
    const AgentClient client(server.url(), QStringLiteral("c"));
    const AgentReview proposal = review(*AgentExecutor::fromWireValue(reviewExecutor));

    if (accepted) {
        const AgentExecution execution = blockingWait(client.launch(proposal));
        QCOMPARE(execution.url, QUrl(link));
        QCOMPARE(execution.executor, proposal.executor);
    } else {
        const std::optional<Caught> caught = errorOf(client.launch(proposal));
        QVERIFY(caught && caught->failure);
        QCOMPARE(caught->message, badLink);
        QCOMPARE(caught->status, std::nullopt);
        QCOMPARE(caught->code, std::nullopt);
    }
    const RecordedRequest request = server.requests().constFirst();
    QCOMPARE(request.target, QByteArray("/api/agent-execute"));
    QCOMPARE(QJsonDocument::fromJson(request.body).object(),
        (QJsonObject { { QStringLiteral("approval"), QStringLiteral("tok-\"42\"") },
            { QStringLiteral("confirmed"), true } }));
}

QTEST_GUILESS_MAIN(TestAgentClient)
#include "tst_agentclient.moc"
