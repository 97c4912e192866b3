#include "integrationsrequest.h"

#include <QTest>

class tst_IntegrationsRequest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void fromLink_data()
    {
        QTest::addColumn<QString>("link");
        QTest::addColumn<QString>("server"); // empty: refused

        QTest::newRow("loopback http") << "parlevox://connect?server=http://localhost:3000"
                                       << "http://localhost:3000";
        QTest::newRow("slash path and trailing slash")
            << "parlevox://connect/?server=http://127.0.0.1:3000/"
            << "http://127.0.0.1:3000/";
        QTest::newRow("percent-encoded https")
            << "parlevox://connect?server=https%3A%2F%2Fteam.example"
            << "https://team.example";
        QTest::newRow("https with blanks around")
            << "parlevox://connect?server=%20https://team.example%0A"
            << "https://team.example";

        // Refused: anything but the one server item, a link with more than host and query, an
        // address the agent rule refuses.
        for (const char* refused :
            { "parlevox://connect?server=http://localhost:3000&server=http://localhost:3000",
                "parlevox://connect?server=http://localhost:3000&",
                "parlevox://connect?site=http://localhost:3000",
                "parlevox://connect?server=", "parlevox://connect", "parlevox://connect?",
                "parlevox://connect?server=http://team.example",
                "parlevox://connect:8080?server=http://localhost:3000",
                "parlevox://me@connect?server=http://localhost:3000",
                "parlevox://connect?server=http://localhost:3000#top",
                "parlevox://connect/team?server=http://localhost:3000",
                "parlevox://open?server=http://localhost:3000",
                "https://connect?server=http://localhost:3000" }) {
            QTest::newRow(refused) << QString::fromUtf8(refused) << QString();
        }
    }

    void fromLink()
    {
        QFETCH(QString, link);
        QFETCH(QString, server);
        const std::optional<IntegrationsRequest> request
            = IntegrationsRequest::fromLink(QUrl(link));
        if (server.isEmpty()) {
            QVERIFY2(!request, qPrintable(link));
            return;
        }
        QVERIFY2(request, qPrintable(link));
        QCOMPARE(request->page(), IntegrationsPage::agent);
        QVERIFY(request->suggestedServer());
        QCOMPARE(request->suggestedServer()->toString(), server);
    }

    void everyRequestIsNew()
    {
        const IntegrationsRequest first(IntegrationsPage::gladia);
        const IntegrationsRequest second(IntegrationsPage::gladia);
        QVERIFY(first != second);
        QVERIFY(!first.id().isNull());
        QVERIFY(!first.suggestedServer());
    }
};

QTEST_GUILESS_MAIN(tst_IntegrationsRequest)
#include "tst_integrationsrequest.moc"
