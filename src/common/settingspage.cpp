#include "settingspage.h"

#include <QProcess>
#include <QProcessEnvironment>
#include <QStandardPaths>
#include <QStringList>

namespace {

struct Command
{
    QString program;
    QStringList arguments;
};

Command commandFor(SettingsPage page, const QString& desktop)
{
    const bool sound = page != SettingsPage::Accessibility;
    if (desktop.contains(QLatin1String("GNOME"), Qt::CaseInsensitive)
        || desktop.contains(QLatin1String("Unity"), Qt::CaseInsensitive)) {
        return { QStringLiteral("gnome-control-center"),
            { sound ? QStringLiteral("sound") : QStringLiteral("universal-access") } };
    }
    if (desktop.contains(QLatin1String("KDE"), Qt::CaseInsensitive)) {
        return { QStringLiteral("systemsettings"),
            { sound ? QStringLiteral("kcm_pulseaudio") : QStringLiteral("kcm_access") } };
    }
    return { QStringLiteral("pavucontrol"),
        { page == SettingsPage::Microphone ? QStringLiteral("--tab=4")
                                           : QStringLiteral("--tab=2") } };
}

} // namespace

void openSettingsPage(SettingsPage page)
{
    const QString desktop
        = QProcessEnvironment::systemEnvironment().value(QStringLiteral("XDG_CURRENT_DESKTOP"));
    const Command command = commandFor(page, desktop);
    if (QStandardPaths::findExecutable(command.program).isEmpty()) {
        return;
    }
    QProcess::startDetached(command.program, command.arguments);
}
