#include "pvportalappearance.h"
#include "pvtheme.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QFontDatabase>
#include <QFontInfo>
#include <QGuiApplication>
#include <QProcess>
#include <QSignalSpy>
#include <QTest>

using namespace Qt::StringLiterals;

namespace {

const QString portalService = QStringLiteral("org.freedesktop.portal.Desktop");
const QString portalPath = QStringLiteral("/org/freedesktop/portal/desktop");
const QString settingsInterface = QStringLiteral("org.freedesktop.portal.Settings");
const QString appearanceGroup = QStringLiteral("org.freedesktop.appearance");
const QString colorSchemeKey = QStringLiteral("color-scheme");

const QColor lightCanvas = QColor::fromRgb(0xFA, 0xF8, 0xF1);
const QColor darkCanvas = QColor::fromRgb(0x0F, 0x16, 0x13);

} // namespace

// A stand-in for the desktop's settings portal, answering with a fixed colour scheme.
class FakeSettingsPortal : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.portal.Settings")

public:
    FakeSettingsPortal(uint colorScheme, bool offersReadOne)
        : m_colorScheme(colorScheme)
        , m_offersReadOne(offersReadOne)
    { }

public Q_SLOTS:
    QDBusVariant ReadOne(const QString& group, const QString& key, const QDBusMessage& message)
    {
        return m_offersReadOne
            ? value(group, key, message)
            : refuse(message, QDBusError::errorString(QDBusError::UnknownMethod));
    }

    // Older portals wrap the value in one more variant.
    QDBusVariant Read(const QString& group, const QString& key, const QDBusMessage& message)
    {
        const QDBusVariant inner = value(group, key, message);
        return QDBusVariant(QVariant::fromValue(inner));
    }

public:
    QDBusConnection m_bus { QString() };

private:
    QDBusVariant value(const QString& group, const QString& key, const QDBusMessage& message)
    {
        return group == appearanceGroup && key == colorSchemeKey
            ? QDBusVariant(QVariant::fromValue(m_colorScheme))
            : refuse(message, QStringLiteral("org.freedesktop.portal.Error.NotFound"));
    }

    QDBusVariant refuse(const QDBusMessage& message, const QString& error)
    {
        message.setDelayedReply(true);
        m_bus.send(message.createErrorReply(error, QString()));
        return {};
    }

    uint m_colorScheme;
    bool m_offersReadOne;
};

class TestPVTheme : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        m_daemon.setProgram(QStringLiteral("dbus-daemon"));
        m_daemon.setArguments({ QStringLiteral("--session"), QStringLiteral("--nofork"),
            QStringLiteral("--print-address=1") });
        m_daemon.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_daemon.start();
        QVERIFY2(m_daemon.waitForStarted(), "dbus-daemon is not installed");
        while (!m_daemon.canReadLine()) {
            QVERIFY2(m_daemon.waitForReadyRead(20000), "dbus-daemon did not print its address");
        }
        m_address = QString::fromUtf8(m_daemon.readLine().trimmed());
        m_portalBus = std::make_unique<QDBusConnection>(
            QDBusConnection::connectToBus(m_address, QStringLiteral("portal")));
        QVERIFY(m_portalBus->isConnected());
    }

    void cleanupTestCase()
    {
        m_portalBus.reset();
        QDBusConnection::disconnectFromBus(QStringLiteral("portal"));
        QDBusConnection::disconnectFromBus(QStringLiteral("client"));
        m_daemon.terminate();
        m_daemon.waitForFinished();
    }

    void cleanup()
    {
        m_portalBus->unregisterObject(portalPath);
        m_portalBus->unregisterService(portalService);
        m_portal.reset();
    }

    void setterSwitchesEveryColour()
    {
        PVTheme theme { PVFonts({}) };
        QSignalSpy changed(&theme, &PVTheme::appearanceChanged);
        QCOMPARE(theme.property("pvCanvas").value<QColor>(), lightCanvas);

        theme.setAppearance(PVAppearance::dark);
        QCOMPARE(changed.count(), 1);
        QVERIFY(theme.isDark());
        QCOMPARE(theme.property("pvCanvas").value<QColor>(), darkCanvas);

        theme.setAppearance(PVAppearance::dark);
        QCOMPARE(changed.count(), 1);
        theme.setAppearance(PVAppearance::noPreference);
        QCOMPARE(changed.count(), 2);
        QCOMPARE(theme.pvCanvas(), lightCanvas);
    }

    void followsPortal_data()
    {
        QTest::addColumn<uint>("colorScheme");
        QTest::addColumn<bool>("offersReadOne");
        QTest::addColumn<QColor>("canvas");

        QTest::newRow("prefers dark") << 1U << true << darkCanvas;
        QTest::newRow("old portal, prefers dark") << 1U << false << darkCanvas;
        QTest::newRow("prefers light") << 2U << true << lightCanvas;
        QTest::newRow("no preference or unknown") << 7U << true << lightCanvas;
    }

    // The first row is the first subscription in the process: it catches a change announcement
    // lost because the bus did not know the announcement's argument types yet.
    void followsPortal()
    {
        QFETCH(uint, colorScheme);
        QFETCH(bool, offersReadOne);
        QFETCH(QColor, canvas);
        startPortal(colorScheme, offersReadOne);

        // Start from the other appearance, so that the answer shows as a change.
        const bool dark = canvas == darkCanvas;
        PVTheme theme { PVFonts({}) };
        theme.setAppearance(dark ? PVAppearance::light : PVAppearance::dark);
        QSignalSpy changed(&theme, &PVTheme::appearanceChanged);
        theme.followPortal(clientBus());
        QTRY_COMPARE(changed.count(), 1);
        QCOMPARE(theme.pvCanvas(), canvas);

        // Then only a new colour scheme changes it: not other settings, not the same scheme.
        const uint other = dark ? 2 : 1;
        announce(appearanceGroup, QStringLiteral("accent-color"), other);
        announce(QStringLiteral("org.gnome.desktop.interface"), colorSchemeKey, other);
        announce(appearanceGroup, colorSchemeKey, colorScheme);
        announce(appearanceGroup, colorSchemeKey, other);
        QTRY_COMPARE(changed.count(), 2);
        QCOMPARE(theme.isDark(), !dark);
        QTest::qWait(100);
        QCOMPARE(changed.count(), 2);
    }

    // Runs after the portal's last row has gone.
    void lightWithoutPortal()
    {
        PVTheme theme { PVFonts({}) };
        QSignalSpy changed(&theme, &PVTheme::appearanceChanged);
        theme.followPortal(clientBus());
        QTest::qWait(300);
        QCOMPARE(changed.count(), 0);
        QCOMPARE(theme.pvCanvas(), lightCanvas);

        PVTheme unconnected { PVFonts({}) };
        unconnected.followPortal(QDBusConnection(QStringLiteral("never-connected")));
        QCOMPARE(unconnected.pvCanvas(), lightCanvas);
    }

    void bundledFacesLoad()
    {
        const QSet<QString> faces = PVFonts::loadBundledFaces();
        QCOMPARE(faces,
            QSet<QString>(
                { QStringLiteral("EBGaramond-Regular"), QStringLiteral("EBGaramond-Medium"),
                    QStringLiteral("Figtree-Regular"), QStringLiteral("Figtree-Medium") }));
    }

    void faceForWeight_data()
    {
        QTest::addColumn<bool>("serif");
        QTest::addColumn<int>("weight");
        QTest::addColumn<QString>("family");
        QTest::addColumn<QString>("style");

        // Any weight but regular asks for the medium face.
        const QString garamond = QStringLiteral("EB Garamond");
        const QString figtree = QStringLiteral("Figtree");
        QTest::newRow("serif regular") << true << int(QFont::Normal) << garamond << u"Regular"_s;
        QTest::newRow("serif bold") << true << int(QFont::Bold) << garamond << u"Medium"_s;
        QTest::newRow("sans regular") << false << int(QFont::Normal) << figtree << u"Regular"_s;
        QTest::newRow("sans light") << false << int(QFont::Light) << figtree << u"Medium"_s;
    }

    void faceForWeight()
    {
        QFETCH(bool, serif);
        QFETCH(int, weight);
        QFETCH(QString, family);
        QFETCH(QString, style);

        const PVFonts fonts(PVFonts::loadBundledFaces());
        const QFont font = serif ? fonts.pvSerif(17, weight) : fonts.pvSans(17, weight);
        const QFontInfo used(font);
        QCOMPARE(used.family(), family);
        QCOMPARE(used.styleName(), style);
        QCOMPARE(font.pixelSize(), 17);
    }

    void fallbackWhenFaceMissing()
    {
        // Only the regular faces: a medium request must fall back, not borrow the regular face.
        const PVFonts fonts(
            { QStringLiteral("EBGaramond-Regular"), QStringLiteral("Figtree-Regular") });

        const QFont serifBold = fonts.pvSerif(17, QFont::Bold);
        QCOMPARE(serifBold.styleHint(), QFont::Serif);
        QVERIFY(serifBold.styleName().isEmpty());
        QVERIFY(QFontInfo(serifBold).family() != QStringLiteral("EB Garamond"));
        QCOMPARE(QFontInfo(serifBold).bold(), true);

        const QFont sansMedium = fonts.pvSans(13, QFont::Medium);
        QCOMPARE(
            sansMedium.family(), QFontDatabase::systemFont(QFontDatabase::GeneralFont).family());
        QCOMPARE(sansMedium.weight(), QFont::Medium);

        QCOMPARE(QFontInfo(fonts.pvSerif(17)).family(), QStringLiteral("EB Garamond"));
        QCOMPARE(QFontInfo(PVFonts({}).pvSans(17)).family() == QStringLiteral("Figtree"), false);
    }

private:
    QDBusConnection clientBus() const
    {
        return QDBusConnection::connectToBus(m_address, QStringLiteral("client"));
    }

    void startPortal(uint colorScheme, bool offersReadOne)
    {
        m_portal = std::make_unique<FakeSettingsPortal>(colorScheme, offersReadOne);
        m_portal->m_bus = *m_portalBus;
        QVERIFY(m_portalBus->registerObject(portalPath, m_portal.get(),
            QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllSignals));
        QVERIFY(m_portalBus->registerService(portalService));
    }

    void announce(const QString& group, const QString& key, uint value) const
    {
        QDBusMessage signal = QDBusMessage::createSignal(
            portalPath, settingsInterface, QStringLiteral("SettingChanged"));
        signal << group << key << QVariant::fromValue(QDBusVariant(QVariant::fromValue(value)));
        QVERIFY(m_portalBus->send(signal));
    }

    QProcess m_daemon;
    QString m_address;
    std::unique_ptr<QDBusConnection> m_portalBus;
    std::unique_ptr<FakeSettingsPortal> m_portal;
};

QTEST_MAIN(TestPVTheme)
#include "tst_pvtheme.moc"
