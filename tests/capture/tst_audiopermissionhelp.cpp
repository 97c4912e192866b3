#include "audiopermissionhelp.h"
#include "error.h"

#include <QTest>

class tst_AudioPermissionHelp : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void sentencesAndPages_data()
    {
        QTest::addColumn<int>("kind");
        QTest::addColumn<QString>("sentence");
        QTest::addColumn<QString>("label");
        QTest::addColumn<int>("page");
        QTest::newRow("microphone")
            << int(AudioPermissionHelp::microphone)
            << QStringLiteral("Activez Parlevox dans les réglages du micro, puis réessayez.")
            << QStringLiteral("Ouvrir les réglages du micro") << int(SettingsPage::Microphone);
        QTest::newRow("system audio")
            << int(AudioPermissionHelp::systemAudio)
            << QStringLiteral(
                   "Activez Parlevox dans « Audio du système uniquement », puis réessayez.")
            << QStringLiteral("Ouvrir les réglages de l’audio système")
            << int(SettingsPage::SystemAudio);
        QTest::newRow("silent call")
            << int(AudioPermissionHelp::systemAudioSilent)
            << QStringLiteral("Aucun son de l’appel détecté. Vérifiez le son et l’autorisation "
                              "« Audio du système uniquement ».")
            << QStringLiteral("Ouvrir les réglages de l’audio système")
            << int(SettingsPage::SystemAudio);
    }

    void sentencesAndPages()
    {
        QFETCH(int, kind);
        const AudioPermissionHelp help(static_cast<AudioPermissionHelp::Kind>(kind));
        QTEST(help.errorDescription(), "sentence");
        // Thrown, it reaches the status line as its sentence.
        QTEST(describeError(std::make_exception_ptr(help)), "sentence");
        QTEST(help.settingsLabel(), "label");
        QTEST(int(help.settingsPage()), "page");
    }
};

QTEST_GUILESS_MAIN(tst_AudioPermissionHelp)
#include "tst_audiopermissionhelp.moc"
