#include "pvcolor.h"

#include <QTest>

using PaletteColour = const PVColor& (*)();
Q_DECLARE_METATYPE(PaletteColour)

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

    // The palette as written down, not as the theme computes it; any other appearance is light.
    void paletteModes_data()
    {
        QTest::addColumn<PaletteColour>("colour");
        QTest::addColumn<QRgb>("light");
        QTest::addColumn<QRgb>("dark");
        QTest::newRow("pvCanvas") << &PVColor::pvCanvas << 0xFAF8F1U << 0x0F1613U;
        QTest::newRow("pvSurface") << &PVColor::pvSurface << 0xEDE9DAU << 0x18211DU;
        QTest::newRow("pvInk") << &PVColor::pvInk << 0x14201CU << 0xF3F1E6U;
        QTest::newRow("pvInk2") << &PVColor::pvInk2 << 0x5E675FU << 0xA3ADA5U;
        QTest::newRow("pvAccent") << &PVColor::pvAccent << 0xCFE86BU << 0xCFE86BU;
        QTest::newRow("pvAccentHover") << &PVColor::pvAccentHover << 0xC3DE55U << 0xDDF083U;
        QTest::newRow("pvAccentTint") << &PVColor::pvAccentTint << 0xEEF3C7U << 0x2A3320U;
        QTest::newRow("pvOnAccent") << &PVColor::pvOnAccent << 0x14201CU << 0x14201CU;
        QTest::newRow("pvAccentText") << &PVColor::pvAccentText << 0x5C6B0FU << 0xCFE86BU;
        QTest::newRow("pvRec") << &PVColor::pvRec << 0xC8341CU << 0xFF6A4DU;
        QTest::newRow("pvRecTint") << &PVColor::pvRecTint << 0xFBEAE6U << 0x3A1F1AU;
        QTest::newRow("pvWarn") << &PVColor::pvWarn << 0x8A5A0BU << 0xF0B94FU;
        QTest::newRow("pvWarnTint") << &PVColor::pvWarnTint << 0xF6E7C8U << 0x33281AU;
    }

    void paletteModes()
    {
        QFETCH(PaletteColour, colour);
        QFETCH(QRgb, light);
        QFETCH(QRgb, dark);
        QCOMPARE(colour().resolved(PVAppearance::light), QColor::fromRgb(light));
        QCOMPARE(colour().resolved(PVAppearance::dark), QColor::fromRgb(dark));
        QCOMPARE(colour().resolved(PVAppearance::light).alpha(), 255);
        QCOMPARE(colour().resolved(PVAppearance::noPreference), QColor::fromRgb(light));
        QCOMPARE(colour().resolved(PVAppearance(42)), QColor::fromRgb(light));
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
