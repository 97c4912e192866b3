#include "audioloss.h"

#include <QStringList>
#include <algorithm>
#include <cmath>

namespace {

// Shorter losses are the moment a device switch takes: not worth a word.
constexpr double noticeableSeconds = 0.95;

QString causeText(AudioLoss::Cause cause)
{
    switch (cause) {
    case AudioLoss::Cause::deviceChange:
        return QStringLiteral("changement de périphérique");
    case AudioLoss::Cause::serverRestart:
        return QStringLiteral("redémarrage du serveur de son");
    case AudioLoss::Cause::serverLost:
        return QStringLiteral("serveur de son injoignable");
    case AudioLoss::Cause::deviceOverrun:
        return QStringLiteral("périphérique saturé");
    }
    Q_UNREACHABLE();
}

struct InputTotal
{
    double seconds = 0;
    AudioLoss::Cause cause = AudioLoss::Cause::deviceChange; // of its longest loss
    double longest = 0;
};

} // namespace

QString withLossNote(const QString& status, const std::vector<AudioLoss>& losses)
{
    InputTotal totals[2];
    for (const AudioLoss& loss : losses) {
        InputTotal& total = totals[loss.input == AudioLoss::Input::microphone ? 0 : 1];
        total.seconds += loss.seconds;
        if (loss.seconds > total.longest) {
            total.longest = loss.seconds;
            total.cause = loss.cause;
        }
    }
    const QString names[2] = { QStringLiteral("du micro"), QStringLiteral("de l’appel") };
    QStringList parts;
    QStringList causes;
    for (int input = 0; input < 2; ++input) {
        if (totals[input].seconds < noticeableSeconds) {
            continue;
        }
        const auto seconds = std::max<long>(1, std::lround(totals[input].seconds));
        parts << QStringLiteral("%1 s %2").arg(seconds).arg(names[input]);
        causes << causeText(totals[input].cause);
    }
    if (parts.isEmpty()) {
        return status;
    }
    QString note;
    if (causes.size() == 2 && causes[0] != causes[1]) {
        note = QStringLiteral("%1 (%2) et %3 (%4)").arg(parts[0], causes[0], parts[1], causes[1]);
    } else {
        note = QStringLiteral("%1 (%2)").arg(parts.join(QStringLiteral(" et ")), causes[0]);
    }
    const QString separator = status.endsWith(u'.') ? QStringLiteral(" ") : QStringLiteral(". ");
    return status + separator + QStringLiteral("Audio perdu : ") + note + u'.';
}
