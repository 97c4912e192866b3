#include "zoommeetingdetector.h"

#include <QTest>

namespace {

using Poll = std::optional<QStringList>;

// One poll fed to the detector, what observe() must answer and whether a meeting is then on.
struct Step
{
    Poll poll;
    bool started;
    bool inMeetingAfter;
};

const QStringList meeting { QStringLiteral("Zoom Meeting") };
const QStringList noMeeting {};
const Poll unreadable = std::nullopt;

} // namespace

Q_DECLARE_METATYPE(QList<Step>)

class TestZoomMeetingDetector : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void titleTest_data()
    {
        QTest::addColumn<QString>("title");
        QTest::addColumn<bool>("isMeeting");

        QTest::newRow("unicode spaces around")
            << QStringLiteral("\u00A0\u2003Zoom Meeting\u2028\r\n") << true;
        QTest::newRow("french capitals") << QStringLiteral("Réunion Zoom") << true;
        QTest::newRow("decomposed capital accent") << QStringLiteral("RE\u0301UNION ZOOM") << true;
        QTest::newRow("webinar") << QStringLiteral("ZOOM WEBINAR") << true;
        QTest::newRow("french webinar") << QStringLiteral("Webinaire Zoom") << true;
        QTest::newRow("accent dropped") << QStringLiteral("Reunion Zoom") << false;
        QTest::newRow("prefix") << QStringLiteral("Ma Zoom Meeting") << false;
        QTest::newRow("inner double space") << QStringLiteral("Zoom  Meeting") << false;
    }

    void titleTest()
    {
        QFETCH(QString, title);
        QFETCH(bool, isMeeting);
        QCOMPARE(ZoomMeetingDetector::isMeetingTitle(title), isMeeting);
    }

    void sequences_data()
    {
        QTest::addColumn<QList<Step>>("steps");

        QTest::newRow("seen again while in the meeting resets the absences")
            << QList<Step> { { meeting, true, true }, { noMeeting, false, true },
                   { QStringList { QStringLiteral("Réunion Zoom") }, false, true },
                   { noMeeting, false, true }, { noMeeting, false, false } };
        QTest::newRow("unreadable polls change nothing")
            << QList<Step> { { unreadable, false, false }, { meeting, true, true },
                   { unreadable, false, true }, { unreadable, false, true },
                   { meeting, false, true } };
        QTest::newRow("unreadable poll between absences does not reset them")
            << QList<Step> { { meeting, true, true }, { noMeeting, false, true },
                   { unreadable, false, true }, { noMeeting, false, false } };
        QTest::newRow("other windows only, then the meeting among them") << QList<Step> {
            { QStringList { QStringLiteral("Zoom"), QStringLiteral("Zoom Meeting 2") }, false,
                false },
            { QStringList { QStringLiteral("Zoom"), QStringLiteral("Zoom Meeting") }, true, true }
        };
        // Absences before a meeting do not pile up; two in a row end it, the next sighting starts
        // another.
        QTest::newRow("long absence, a meeting, two empty polls, another meeting")
            << QList<Step> { { noMeeting, false, false }, { noMeeting, false, false },
                   { noMeeting, false, false }, { meeting, true, true }, { noMeeting, false, true },
                   { noMeeting, false, false }, { meeting, true, true } };
    }

    void sequences()
    {
        QFETCH(QList<Step>, steps);
        ZoomMeetingDetector detector;
        QVERIFY(!detector.inMeeting());
        for (qsizetype i = 0; i < steps.size(); ++i) {
            const Step& step = steps.at(i);
            const bool started = detector.observe(step.poll);
            QVERIFY2(started == step.started && detector.inMeeting() == step.inMeetingAfter,
                qPrintable(QStringLiteral("poll %1").arg(i + 1)));
        }
    }
};

QTEST_GUILESS_MAIN(TestZoomMeetingDetector)
#include "tst_zoommeetingdetector.moc"
