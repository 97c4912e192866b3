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

        QTest::newRow("second item") << "parlevox://connect?server=http://localhost:3000&x=1"
                                     << "";
        QTest::newRow("repeated server")
            << "parlevox://connect?server=http://localhost:3000&server=http://localhost:3000"
            << "";
        QTest::newRow("trailing ampersand") << "parlevox://connect?server=http://localhost:3000&"
                                            << "";
        QTest::newRow("other name") << "parlevox://connect?site=http://localhost:3000"
                                    << "";
        QTest::newRow("bare server") << "parlevox://connect?server"
                                     << "";
        QTest::newRow("empty value") << "parlevox://connect?server="
                                     << "";
        QTest::newRow("no query") << "parlevox://connect"
                                  << "";
        QTest::newRow("empty query") << "parlevox://connect?"
                                     << "";
        QTest::newRow("http elsewhere") << "parlevox://connect?server=http://team.example"
                                        << "";
        QTest::newRow("server path") << "parlevox://connect?server=https://team.example/app"
                                     << "";
        QTest::newRow("server query") << "parlevox://connect?server=https://team.example/%3Fx%3D1"
                                      << "";
        QTest::newRow("link port") << "parlevox://connect:8080?server=http://localhost:3000"
                                   << "";
        QTest::newRow("link user") << "parlevox://me@connect?server=http://localhost:3000"
                                   << "";
        QTest::newRow("link password") << "parlevox://me:pw@connect?server=http://localhost:3000"
                                       << "";
        QTest::newRow("link fragment") << "parlevox://connect?server=http://localhost:3000#top"
                                       << "";
        QTest::newRow("link path") << "parlevox://connect/team?server=http://localhost:3000"
                                   << "";
        QTest::newRow("other host") << "parlevox://open?server=http://localhost:3000"
                                    << "";
        QTest::newRow("other scheme") << "https://connect?server=http://localhost:3000"
                                      << "";
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
