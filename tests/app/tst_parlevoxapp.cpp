#include "pulseserver.h"
#include "recordedaudio.h"

#include <QDebug>
#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

// The real binary under Xvfb, on a private sound server, driven through the accessibility tree by
// e2e_driver.py against local stand-ins for the outside services (e2e_services.py): record, play
// into both sinks, stop, transcribe, copy, connect the team from a link, prepare, answer, confirm
// and follow; then the mix is checked.
class tst_ParlevoxApp : public QObject
{
    Q_OBJECT

    QProcess m_display;
    QString m_displayName;

private Q_SLOTS:
    void initTestCase()
    {
        // Xvfb picks a free display and writes its number on the given descriptor.
        m_display.setProgram(QStringLiteral("Xvfb"));
        m_display.setArguments({ QStringLiteral("-displayfd"), QStringLiteral("1"),
            QStringLiteral("-screen"), QStringLiteral("0"), QStringLiteral("1400x1000x24"),
            QStringLiteral("-nolisten"), QStringLiteral("tcp") });
        m_display.start();
        QVERIFY2(m_display.waitForStarted(), "Xvfb is missing");
        QTRY_VERIFY_WITH_TIMEOUT((m_display.waitForReadyRead(100), m_display.canReadLine()), 10000);
        m_displayName = QStringLiteral(":") + QString::fromLatin1(m_display.readLine().trimmed());
    }
    void cleanupTestCase()
    {
        m_display.terminate();
        m_display.waitForFinished();
    }

    void endToEnd_data()
    {
        QTest::addColumn<QString>("scenario");
        QTest::newRow("the whole road through the accessibility tree") << QStringLiteral("road");
        QTest::newRow("every window closed while recording") << QStringLiteral("last-window");
        QTest::newRow("SIGTERM while recording") << QStringLiteral("sigterm");
        QTest::newRow("Ctrl+Q while recording") << QStringLiteral("ctrl-q");
        QTest::newRow("killed while recording, then launched again") << QStringLiteral("killed");
    }

    // Whatever ends the recording, its mix lies beside its two tracks and holds both tones.
    void endToEnd()
    {
        QFETCH(QString, scenario);
        PulseServer pulse;
        QVERIFY2(pulse.isReady(), qPrintable(pulse.log()));
        const QString microphone = pulse.tone(QStringLiteral("micro.wav"), 2.0, 440, 0.5, 48000, 2);
        const QString call = pulse.tone(QStringLiteral("appel.wav"), 2.0, 660, 0.5, 48000, 2);

        QTemporaryDir home;
        QProcessEnvironment environment = pulse.clientEnvironment();
        environment.insert(QStringLiteral("DISPLAY"), m_displayName);
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
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
                QStringLiteral(PARLEVOX_SCREENSHOTS), microphone, call, home.path(), scenario });
        QVERIFY(driver.waitForFinished(280000));
        const QString output = QString::fromUtf8(driver.readAll());
        if (driver.exitCode() != 0) {
            qWarning().noquote() << m_displayName << output;
        }
        QCOMPARE(driver.exitCode(), 0);

        // The mix lies in the recording's own folder, beside its two tracks.
        QStringList mixes;
        QDirIterator found(home.path(), { QStringLiteral("reunion.m4a") }, QDir::Files,
            QDirIterator::Subdirectories);
        while (found.hasNext()) {
            mixes << found.next();
        }
        QCOMPARE(mixes.size(), 1);
        const QFileInfo mix(mixes.first());
        QVERIFY(mix.size() > 4000);
        QVERIFY(QFileInfo::exists(mix.dir().filePath(QStringLiteral("microphone.caf"))));
        QVERIFY(QFileInfo::exists(mix.dir().filePath(QStringLiteral("appel.caf"))));
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
