#include "track/trackcutoff.h"

#include "hostclock.h"
#include "platformtext.h"
#include "track/spacereserve.h"
#include "track/trackwriter.h"

#include <cerrno>
#include <cmath>

TrackCutoff::TrackCutoff(SpaceReserve& reserve, Handler interrupted)
    : m_reserve(reserve)
    , m_interrupted(std::move(interrupted))
{ }

bool TrackCutoff::append(TrackWriter& writer, const PcmBuffer& buffer, std::uint64_t hostTime)
{
    if (hostTime >= m_instant.load()) {
        return false;
    }
    std::uint64_t first = notCut;
    m_firstHostTime.compare_exchange_strong(first, hostTime);
    first = std::min(m_firstHostTime.load(), hostTime);
    const double elapsed = hostTimeToSeconds(hostTime - first)
        + double(buffer.frameLength) / std::max(1, buffer.format.sampleRate);
    if (!m_reserve.cover(SpaceReserve::bytesFor(elapsed))) {
        cut(hostTime, std::make_exception_ptr(StorageError(ENOSPC)));
        return false;
    }
    if (!writer.append(buffer, hostTime)) {
        cut(hostTime, writer.failure());
        return false;
    }
    return true;
}

void TrackCutoff::cut(std::uint64_t hostTime, std::exception_ptr reason)
{
    bool first = false;
    {
        const std::lock_guard lock(m_mutex);
        std::uint64_t current = m_instant.load();
        while (hostTime < current && !m_instant.compare_exchange_weak(current, hostTime)) { }
        if (!m_reason) {
            m_reason = std::move(reason);
            first = true;
        }
    }
    if (first && m_interrupted) {
        m_interrupted(interruptedSentence());
    }
}

std::optional<std::uint64_t> TrackCutoff::instant() const
{
    const std::uint64_t instant = m_instant.load();
    return instant == notCut ? std::nullopt : std::optional(instant);
}

double TrackCutoff::recordedSeconds() const
{
    const std::uint64_t first = m_firstHostTime.load();
    const std::uint64_t instant = m_instant.load();
    return first == notCut || instant == notCut || instant < first
        ? 0
        : hostTimeToSeconds(instant - first);
}

bool TrackCutoff::diskFull() const
{
    const std::lock_guard lock(m_mutex);
    try {
        if (m_reason) {
            std::rethrow_exception(m_reason);
        }
    } catch (const StorageError& error) {
        return error.diskFull();
    } catch (...) { }
    return false;
}

QString TrackCutoff::reasonText() const
{
    const std::lock_guard lock(m_mutex);
    QString text = m_reason ? describeError(m_reason) : QString();
    // Follows a colon inside a sentence.
    if (!text.isEmpty()) {
        text[0] = text[0].toLower();
    }
    return text;
}

QString TrackCutoff::interruptedSentence() const
{
    if (diskFull()) {
        return QStringLiteral("Disque plein : l’enregistrement est interrompu. Arrêtez-le pour "
                              "conserver ce qui a déjà été enregistré.");
    }
    return QStringLiteral("L’enregistrement ne peut plus être écrit sur le disque : %1 Arrêtez-le "
                          "pour conserver ce qui a déjà été enregistré.")
        .arg(reasonText());
}

QString TrackCutoff::stoppedSentence() const
{
    const QString kept = durationText(recordedSeconds());
    if (diskFull()) {
        return QStringLiteral("Disque plein : l’enregistrement s’est arrêté à %1.").arg(kept);
    }
    return QStringLiteral("L’écriture sur le disque s’est arrêtée à %1 : %2")
        .arg(kept, reasonText());
}

QString durationText(double seconds)
{
    const auto total = std::int64_t(std::floor(std::max(0.0, seconds)));
    const std::int64_t hours = total / 3600;
    const std::int64_t minutes = total / 60 % 60;
    if (hours > 0) {
        return QStringLiteral("%1 h %2 min").arg(hours).arg(minutes, 2, 10, QLatin1Char('0'));
    }
    if (minutes > 0) {
        return QStringLiteral("%1 min %2 s").arg(minutes).arg(total % 60, 2, 10, QLatin1Char('0'));
    }
    return QStringLiteral("%1 s").arg(total);
}
