#include "pvcolor.h"

#include <QTest>

class TestPVColor : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void fromHex_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QColor>("expected");

        const QColor canvas = QColor::fromRgb(0xFA, 0xF8, 0xF1);
        QTest::newRow("without #") << QStringLiteral("FAF8F1") << canvas;
        QTest::newRow("extra # at both ends") << QStringLiteral("###FAF8F1##") << canvas;
        QTest::newRow("lower case") << QStringLiteral("#faf8f1") << canvas;
        QTest::newRow("0x prefix") << QStringLiteral("0xFAF8F1") << canvas;
        QTest::newRow("leading space skipped") << QStringLiteral(" FAF8F1") << canvas;
        QTest::newRow("only #") << QStringLiteral("##") << QColor(Qt::black);
        QTest::newRow("space before #") << QStringLiteral(" #FAF8F1") << QColor(Qt::black);
        QTest::newRow("three digits are not shorthand")
            << QStringLiteral("#FFF") << QColor::fromRgb(0x00, 0x0F, 0xFF);
        QTest::newRow("scan stops at first non-digit")
            << QStringLiteral("#12G456") << QColor::fromRgb(0x00, 0x00, 0x12);
        QTest::newRow("inner # stops the scan")
            << QStringLiteral("#12#34") << QColor::fromRgb(0x00, 0x00, 0x12);
        QTest::newRow("bits above 23 ignored")
            << QStringLiteral("#AB123456") << QColor::fromRgb(0x12, 0x34, 0x56);
        QTest::newRow("beyond 64 bits saturates")
            << QStringLiteral("#10000000000000000123456") << QColor::fromRgb(0xFF, 0xFF, 0xFF);
    }

    void fromHex()
    {
        QFETCH(QString, text);
        QFETCH(QColor, expected);
        const QColor color = PVColor::fromHex(text);
        QCOMPARE(color.rgb(), expected.rgb());
        QCOMPARE(color.alpha(), 255);
    }

    // The dark value under the dark appearance, the light one under any other, always opaque.
    void resolvedByAppearance()
    {
        const PVColor colour(u"#010203", u"#0A0B0C");
        QCOMPARE(colour.resolved(PVAppearance::dark), QColor::fromRgb(0x0A, 0x0B, 0x0C));
        for (const PVAppearance other :
            { PVAppearance::light, PVAppearance::noPreference, PVAppearance(42) }) {
            QCOMPARE(colour.resolved(other), QColor::fromRgb(0x01, 0x02, 0x03));
            QCOMPARE(colour.resolved(other).alpha(), 255);
        }
    }

    void linesFollowTheInk()
    {
        // The lines are the ink of the same mode, made translucent.
        for (const PVAppearance mode : { PVAppearance::light, PVAppearance::dark }) {
            const QColor ink = PVColor::pvInk().resolved(mode);
            const QColor line = PVColor::pvLine().resolved(mode);
            const QColor strong = PVColor::pvLineStrong().resolved(mode);
            QCOMPARE(line.rgb() & 0xFFFFFF, ink.rgb() & 0xFFFFFF);
            QCOMPARE(strong.rgb() & 0xFFFFFF, ink.rgb() & 0xFFFFFF);
            QVERIFY(qAbs(line.alphaF() - 0.14) < 0.01);
            QVERIFY(qAbs(strong.alphaF() - 0.32) < 0.01);
        }
    }
};

QTEST_GUILESS_MAIN(TestPVColor)
#include "tst_pvcolor.moc"
