#include "audiopermissionhelp.h"

namespace {

QString sentence(AudioPermissionHelp::Kind kind)
{
    switch (kind) {
    case AudioPermissionHelp::microphone:
        return QStringLiteral("Activez Parlevox dans les réglages du micro, puis réessayez.");
    case AudioPermissionHelp::systemAudio:
        return QStringLiteral(
            "Activez Parlevox dans « Audio du système uniquement », puis réessayez.");
    case AudioPermissionHelp::systemAudioSilent:
        return QStringLiteral("Aucun son de l’appel détecté. Vérifiez le son et l’autorisation "
                              "« Audio du système uniquement ».");
    }
    Q_UNREACHABLE();
}

} // namespace

AudioPermissionHelp::AudioPermissionHelp(Kind kind)
    : Error(sentence(kind))
    , m_kind(kind)
{ }

QString AudioPermissionHelp::settingsLabel() const
{
    return m_kind == microphone ? QStringLiteral("Ouvrir les réglages du micro")
                                : QStringLiteral("Ouvrir les réglages de l’audio système");
}

SettingsPage AudioPermissionHelp::settingsPage() const
{
    return m_kind == microphone ? SettingsPage::Microphone : SettingsPage::SystemAudio;
}
