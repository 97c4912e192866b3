#include "pulseserver.h"
#include "recordedaudio.h"
#include "testdisplay.h"

#include <QDebug>
#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

// The real binary under Xvfb, or in a Wayland session (PARLEVOX_DISPLAY=wayland), on a private
// sound server, driven through the accessibility tree by e2e_driver.py against local stand-ins for
// the outside services (e2e_services.py); then the mix is checked.
class tst_ParlevoxApp : public QObject
{
    Q_OBJECT

    std::unique_ptr<TestDisplay> m_display;

private Q_SLOTS:
    void initTestCase()
    {
        m_display = std::make_unique<TestDisplay>();
        QVERIFY2(m_display->isReady(), qPrintable(m_display->log()));
        qInfo().noquote() << "Display:" << m_display->name();
    }
    void cleanupTestCase() { m_display.reset(); }

    void endToEnd_data()
    {
        QTest::addColumn<QString>("scenario");
        QTest::newRow("the whole road through the accessibility tree") << QStringLiteral("road");
        QTest::newRow("the transcript while recording") << QStringLiteral("live");
        QTest::newRow("every window closed while recording") << QStringLiteral("last-window");
        QTest::newRow("SIGTERM while recording") << QStringLiteral("sigterm");
        QTest::newRow("Ctrl+Q while recording") << QStringLiteral("ctrl-q");
        QTest::newRow("killed while recording, then launched again") << QStringLiteral("killed");
    }

    // Whatever ends the recording, its mix lies beside its two tracks and holds both tones.
    void endToEnd()
    {
        QFETCH(QString, scenario);
        const bool wayland = m_display->kind() == TestDisplay::Kind::wayland;
        if (wayland && scenario == QLatin1String("last-window")) {
            QSKIP("Only the compositor closes a Wayland window");
        }
        PulseServer pulse;
        QVERIFY2(pulse.isReady(), qPrintable(pulse.log()));
        const QString microphone = pulse.tone(QStringLiteral("micro.wav"), 2.0, 440, 0.5, 48000, 2);
        const QString call = pulse.tone(QStringLiteral("appel.wav"), 2.0, 660, 0.5, 48000, 2);

        QTemporaryDir home;
        QProcessEnvironment environment = m_display->clientEnvironment(pulse.clientEnvironment());
        if (wayland) {
            // The protocol log, to read the app id each window announces.
            environment.insert(QStringLiteral("WAYLAND_DEBUG"), QStringLiteral("client"));
            environment.insert(QStringLiteral("PARLEVOX_SEAT_DISPLAY"),
                QString::fromLatin1(m_display->seatDisplay()));
        }
        environment.remove(QStringLiteral("QT_QUICK_BACKEND"));
        environment.insert(QStringLiteral("QT_LINUX_ACCESSIBILITY_ALWAYS_ON"), QStringLiteral("1"));
        environment.insert(QStringLiteral("QT_ACCESSIBILITY"), QStringLiteral("1"));
        environment.insert(QStringLiteral("NO_AT_BRIDGE"), QStringLiteral("0"));
        // A first launch: no settings, and recordings in a folder of this test.
        environment.insert(
            QStringLiteral("XDG_CONFIG_HOME"), home.filePath(QStringLiteral("config")));
        environment.insert(QStringLiteral("TMPDIR"), home.path());
        environment.remove(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"));
        environment.remove(QStringLiteral("GLADIA_API_KEY")); // the key is typed into the form

        QProcess driver;
        driver.setProcessEnvironment(environment);
        driver.setProcessChannelMode(QProcess::MergedChannels);
        driver.start(QStringLiteral("dbus-run-session"),
            { QStringLiteral("--"), QStringLiteral("/usr/bin/python3"),
                QStringLiteral(PARLEVOX_E2E_DRIVER), QStringLiteral(PARLEVOX_BINARY),
                QStringLiteral(PARLEVOX_SCREENSHOTS) + QLatin1String(wayland ? "/wayland" : ""),
                microphone, call, home.path(), scenario });
        QVERIFY(driver.waitForFinished(280000));
        QStringList output = QString::fromUtf8(driver.readAll()).split(QLatin1Char('\n'));
        // Every window the app makes tells the compositor the desktop file it belongs to.
        static const QRegularExpression protocol(QStringLiteral("^\\[ *\\d+\\.\\d+\\] "));
        static const QRegularExpression made(
            QStringLiteral("get_toplevel\\(new id xdg_toplevel@(\\d+)\\)"));
        static const QRegularExpression appId(
            QStringLiteral("-> xdg_toplevel@(\\d+)\\.set_app_id\\(\"([^\"]*)\"\\)"));
        QStringList toplevels;
        QStringList named;
        for (const QString& line : std::as_const(output)) {
            if (const auto match = made.match(line); match.hasMatch()) {
                toplevels << match.captured(1);
            } else if (const auto id = appId.match(line);
                       id.hasMatch() && id.captured(2) == QLatin1String(PARLEVOX_APP_ID)) {
                named << id.captured(1);
            }
        }
        output.removeIf([](const QString& line) { return protocol.match(line).hasMatch(); });
        if (driver.exitCode() != 0) {
            qWarning().noquote() << m_display->name() << output.join(QLatin1Char('\n'));
        }
        QCOMPARE(driver.exitCode(), 0);
        if (wayland) {
            QVERIFY(!toplevels.isEmpty());
            QCOMPARE(named, toplevels);
        }

        // The mix lies in the recording's own folder, beside its two tracks.
        QStringList mixes;
        QDirIterator found(home.path(), { QStringLiteral("reunion.m4a") }, QDir::Files,
            QDirIterator::Subdirectories);
        while (found.hasNext()) {
            mixes << found.next();
        }
        QCOMPARE(mixes.size(), 1);
        const QFileInfo mix(mixes.first());
        for (const char* track : { "microphone.caf", "appel.caf" }) {
            QVERIFY2(QFileInfo::exists(mix.dir().filePath(QLatin1String(track))), track);
        }
        const RecordedAudio audio = RecordedAudio::decoded(mix.filePath());
        for (const int frequency : { 440, 660 }) {
            int loud = 0;
            for (double from = 0; from + 0.1 <= audio.seconds(); from += 0.1) {
                loud += audio.level(frequency, from, from + 0.1) > 0.1 ? 1 : 0;
            }
            QVERIFY2(loud >= 10, qPrintable(QStringLiteral("%1 Hz: %2").arg(frequency).arg(loud)));
        }
    }
};

QTEST_GUILESS_MAIN(tst_ParlevoxApp)
#include "tst_parlevoxapp.moc"
