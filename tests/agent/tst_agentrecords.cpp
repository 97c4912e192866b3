#include "agentanswers.h"
#include "agentclient.h"
#include "agentrecords.h"

#include <QTest>

using namespace Qt::StringLiterals;

namespace {

// The shared ready proposal, with `changes` applied on top ("~key" removes key).
QByteArray readyObject(const QJsonObject& changes = {})
{
    QJsonObject object = agentanswers::proposalJson();
    for (auto it = changes.begin(); it != changes.end(); ++it) {
        if (it.key().startsWith(u'~')) {
            object.remove(it.key().mid(1));
        } else {
            object.insert(it.key(), it.value());
        }
    }
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

enum class Outcome
{
    question,
    review,
    unreadable, // AgentRecordError
    unknownStatus, // AgentClient::Failure
};

} // namespace

class TestAgentRecords : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void preparation_data()
    {
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<Outcome>("outcome");

        QTest::newRow("ready") << readyObject() << Outcome::review;
        QTest::newRow("ready, capitalised")
            << readyObject({ { u"status"_s, u"Ready"_s } }) << Outcome::unknownStatus;
        QTest::newRow("status not a string") << R"({"status":1})"_ba << Outcome::unreadable;
        QTest::newRow("question") << QByteArray(
            R"({"status":"needs_clarification","question":"Pour quand ?"})")
                                  << Outcome::question;
        QTest::newRow("question null")
            << R"({"status":"needs_clarification","question":null})"_ba << Outcome::unreadable;
        QTest::newRow("ready with a question")
            << readyObject({ { u"question"_s, u"Q"_s } }) << Outcome::review;
        QTest::newRow("question with review keys")
            << readyObject({ { u"status"_s, u"needs_clarification"_s }, { u"question"_s, u"Q"_s } })
            << Outcome::question;
        QTest::newRow("clarifications missing")
            << readyObject({ { u"~clarifications"_s, true } }) << Outcome::unreadable;
        QTest::newRow("clarifications empty")
            << readyObject({ { u"clarifications"_s, QJsonArray() } }) << Outcome::review;
        QTest::newRow("clarification without answer") << readyObject(
            { { u"clarifications"_s, QJsonArray { QJsonObject { { u"question"_s, u"Q"_s } } } } })
                                                      << Outcome::unreadable;
        QTest::newRow("clarification not an object")
            << readyObject({ { u"clarifications"_s, QJsonArray { u"Q"_s } } })
            << Outcome::unreadable;
        QTest::newRow("executor capitalised")
            << readyObject({ { u"executor"_s, u"Devin"_s } }) << Outcome::unreadable;
        QTest::newRow("approval missing")
            << readyObject({ { u"~approval"_s, true } }) << Outcome::unreadable;
        QTest::newRow("unknown keys ignored")
            << readyObject({ { u"extra"_s, QJsonObject() } }) << Outcome::review;
        QTest::newRow("array") << "[]"_ba << Outcome::unreadable;
        QTest::newRow("truncated") << readyObject().chopped(1) << Outcome::unreadable;
    }

    void preparation()
    {
        QFETCH(QByteArray, json);
        QFETCH(Outcome, outcome);

        try {
            const auto preparation = decodeRecord<AgentPreparation>(json);
            QCOMPARE(preparation.isQuestion() ? Outcome::question : Outcome::review, outcome);
        } catch (const AgentClient::Failure& failure) {
            QCOMPARE(Outcome::unknownStatus, outcome);
            QCOMPARE(
                failure.message(), u"Le serveur n’a pas renvoyé de proposition exploitable."_s);
            QCOMPARE(failure.status(), std::nullopt);
            QCOMPARE(failure.code(), std::nullopt);
        } catch (const AgentRecordError&) {
            QCOMPARE(Outcome::unreadable, outcome);
        }
    }

    // Each field lands where it belongs; text is taken as it stands.
    void reviewFields()
    {
        QCOMPARE(decodeRecord<AgentPreparation>(readyObject()),
            AgentPreparation::proposeReview(
                AgentReview { .executor = AgentExecutor::Kind::computerUse,
                    .destination = agentanswers::trelloBoard,
                    .title = u"Relancer le client"_s,
                    .task = u"Créer une fiche de relance"_s,
                    .quote = u"On relance lundi."_s,
                    .clarifications = { { u"Quand ?"_s, u"Lundi"_s } },
                    .approval = u"approval-1"_s }));
        QCOMPARE(decodeRecord<AgentPreparation>(
                     R"({"status":"needs_clarification","question":"  ?\n"})"),
            AgentPreparation::askQuestion(u"  ?\n"_s));
    }

    void usesTrello_data()
    {
        QTest::addColumn<QString>("executor");
        QTest::addColumn<QString>("destination");
        QTest::addColumn<bool>("expected");

        const QString computerUse = u"computer_use"_s;
        QTest::newRow("board link with www")
            << computerUse << u"https://www.trello.com/b/x/y"_s << true;
        QTest::newRow("bare board host") << computerUse << u"https://trello.com/b/x"_s << true;
        QTest::newRow("devin on the board") << u"devin"_s << u"https://trello.com/b/x"_s << false;
        QTest::newRow("host-less text") << computerUse << u"trello.com/b/x"_s << false;
        QTest::newRow("look-alike suffix")
            << computerUse << u"https://trello.com.example.net/b"_s << false;
        QTest::newRow("other subdomain") << computerUse << u"https://api.trello.com/1"_s << false;
    }

    void usesTrello()
    {
        QFETCH(QString, executor);
        QFETCH(QString, destination);
        QFETCH(bool, expected);

        const auto preparation = decodeRecord<AgentPreparation>(
            readyObject({ { u"executor"_s, executor }, { u"destination"_s, destination } }));
        QCOMPARE(preparation.review()->usesTrello(), expected);
    }

    // Out of the class: moc reads the "//" of a link in a raw string as a comment.
    void smallRecords_data();
    void smallRecords()
    {
        const QByteArray record = QByteArray(QTest::currentDataTag()).split(':').constFirst();
        QFETCH(QByteArray, json);
        QString decoded = u"refused"_s;
        try {
            if (record == "access") {
                const auto access = decodeRecord<AgentAccess>(json);
                decoded
                    = u"planning %1, trello %2, devin %3"_s.arg(QString::number(access.planning),
                        QString::number(access.trello), QString::number(access.devin));
            } else if (record == "error") {
                const auto response = decodeRecord<AgentClient::ErrorResponse>(json);
                decoded = u"«%1»"_s.arg(response.error)
                    + (response.code ? u" code %1"_s.arg(*response.code) : QString());
            } else {
                const auto execution = decodeRecord<AgentExecution>(json);
                decoded = execution.executor.wireValue() + u' ' + execution.url.toString();
            }
        } catch (const AgentRecordError&) { }
        QTEST(decoded, "decoded");
    }

    void serverURL_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("expected"); // null: refused

        const QString refused;
        QTest::newRow("root without slash") << u"https://localhost"_s << u"https://localhost"_s;
        QTest::newRow("unicode blanks")
            << u"\u2003https://team.example.org\u2028\t"_s << u"https://team.example.org"_s;
        QTest::newRow("http localhost with port")
            << u"http://localhost:3000"_s << u"http://localhost:3000"_s;
        QTest::newRow("http loopback with slash")
            << u"http://127.0.0.1:3000/"_s << u"http://127.0.0.1:3000/"_s;
        QTest::newRow("host and port, no scheme") << u"localhost:3000"_s << refused;
        QTest::newRow("http loopback look-alike") << u"http://127.0.0.2/"_s << refused;
        QTest::newRow("ftp") << u"ftp://localhost"_s << refused;
        QTest::newRow("path") << u"https://localhost/app"_s << refused;
        QTest::newRow("bare question mark") << u"https://localhost/?"_s << refused;
        QTest::newRow("bare hash") << u"https://localhost#"_s << refused;
        QTest::newRow("empty user") << u"https://@localhost/"_s << refused;
        QTest::newRow("blank") << u" \n "_s << refused;
    }

    void serverURL();
};

void TestAgentRecords::serverURL()
{
    QFETCH(QString, text);
    QFETCH(QString, expected);

    const std::optional<QUrl> url = AgentClient::serverURL(text);
    QCOMPARE(url.has_value(), !expected.isNull());
    if (url) {
        QCOMPARE(url->toString(), expected);
    }
}

// Each row names its record before the colon.
void TestAgentRecords::smallRecords_data()
{
    QTest::addColumn<QByteArray>("json");
    QTest::addColumn<QString>("decoded");

    const QString refused = u"refused"_s;
    QTest::newRow("access: all granted")
        << R"({"planning":true,"trello":false,"devin":true,"x":1})"_ba
        << u"planning 1, trello 0, devin 1"_s;
    QTest::newRow("access: trello a string")
        << R"({"planning":true,"trello":"true","devin":true})"_ba << refused;

    QTest::newRow("error: with code") << R"({"error":"Reliez Trello.","code":"trello_setup"})"_ba
                                      << u"«Reliez Trello.» code trello_setup"_s;
    QTest::newRow("error: without code") << R"({"error":"Code refusé."})"_ba << u"«Code refusé.»"_s;
    QTest::newRow("error: null code") << R"({"error":"x","code":null})"_ba << u"«x»"_s;
    QTest::newRow("error: missing") << R"({"code":"trello_setup"})"_ba << refused;
    QTest::newRow("error: code a number") << R"({"error":"x","code":7})"_ba << refused;

    QTest::newRow("execution: session")
        << R"({"executor":"devin","url":"https://app.devin.ai/s/1"})"_ba
        << u"devin https://app.devin.ai/s/1"_s;
    // Whether a link is acceptable is the client's decision, not the record's.
    QTest::newRow("execution: foreign link")
        << R"({"executor":"devin","url":"http://elsewhere"})"_ba << u"devin http://elsewhere"_s;
    QTest::newRow("execution: unparseable url")
        << R"({"executor":"devin","url":"https://a b/"})"_ba << refused;
    QTest::newRow("execution: url not a string")
        << R"({"executor":"devin","url":{}})"_ba << refused;
    // Executors are named as the server writes them, exactly.
    for (const char* wrong : { "robot", "Devin", "computer-use", "COMPUTER_USE", "" }) {
        QTest::addRow("execution: executor '%s'", wrong)
            << QByteArray(R"({"executor":")" + QByteArray(wrong) + R"(","url":"https://x"})")
            << refused;
    }
}

QTEST_GUILESS_MAIN(TestAgentRecords)
#include "tst_agentrecords.moc"
