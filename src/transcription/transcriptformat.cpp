// Transcript text from segments: pure code, no coroutines, so that the fuzzer can be built from it.

#include "gladia.h"

#include <QStringList>
#include <algorithm>
#include <cmath>
#include <vector>

namespace {

constexpr double longestStamp = 86400;

QString speakerLabel(const std::optional<qint64>& speaker)
{
    if (!speaker) {
        return QStringLiteral("Voix");
    }
    // Counted from 1 for people; unsigned so that the largest index does not overflow.
    const QString number = *speaker >= 0 ? QString::number(static_cast<quint64>(*speaker) + 1)
                                         : QString::number(*speaker + 1);
    return QStringLiteral("Voix ") + number;
}

struct Entry
{
    double time;
    const QString* label;
    const QString* text;
};

} // namespace

QString Gladia::line(double at, const QString& label, const QString& text)
{
    const double clamped = std::isfinite(at) ? std::min(std::max(0.0, at), longestStamp) : 0.0;
    const int whole = static_cast<int>(clamped);
    return QStringLiteral("[") + QString::asprintf("%02d:%02d", whole / 60, whole % 60)
        + QStringLiteral("] ") + label + QStringLiteral(" · ") + text;
}

QString Gladia::format(const QList<Segment>& segments)
{
    if (segments.isEmpty()) {
        return QStringLiteral("Aucune parole reconnue.");
    }
    QStringList lines;
    lines.reserve(segments.size());
    for (const Segment& segment : segments) {
        lines.append(line(segment.start, speakerLabel(segment.speaker), segment.text));
    }
    return lines.join(QLatin1Char('\n'));
}

QString Gladia::format(const QList<Segment>& microphone, const QList<Segment>& system,
    const AudioCapture::Tracks& tracks)
{
    static const QString microphoneLabel = QStringLiteral("Micro");
    static const QString systemLabel = QStringLiteral("Audio de l’appel");

    std::vector<Entry> entries;
    entries.reserve(static_cast<size_t>(microphone.size() + system.size()));
    for (const Segment& segment : microphone) {
        entries.push_back(
            { segment.start + tracks.microphoneOffset, &microphoneLabel, &segment.text });
    }
    for (const Segment& segment : system) {
        entries.push_back({ segment.start + tracks.systemOffset, &systemLabel, &segment.text });
    }
    // A time that is not a number is stamped 00:00; it sorts there too, which keeps the order
    // strict and weak.
    const auto sortKey = [](double time) {
        return std::isnan(time) ? 0.0 : time;
    };
    std::stable_sort(entries.begin(), entries.end(),
        [&](const Entry& a, const Entry& b) { return sortKey(a.time) < sortKey(b.time); });

    QStringList lines;
    lines.reserve(static_cast<qsizetype>(entries.size()) + 2);
    for (const Entry& entry : entries) {
        lines.append(line(entry.time, *entry.label, *entry.text));
    }
    if (microphone.isEmpty()) {
        lines.append(QStringLiteral("Micro · aucune parole reconnue."));
    }
    if (system.isEmpty()) {
        lines.append(QStringLiteral("Audio de l’appel · aucune parole reconnue."));
    }
    return lines.join(QLatin1Char('\n'));
}
