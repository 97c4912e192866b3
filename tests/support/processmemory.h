#pragma once

#include <QFile>
#include <QRegularExpression>

// This process's resident memory as /proc reports it, for bounds on what a test made it hold.
namespace processmemory {

// A field of /proc/self/status in KiB ("VmRSS", "VmHWM"); -1 when unreadable.
inline qint64 statusKiB(const char* field)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly)) {
        return -1;
    }
    const QRegularExpression line(QStringLiteral("^%1:\\s+(\\d+) kB$").arg(QLatin1String(field)),
        QRegularExpression::MultilineOption);
    const QRegularExpressionMatch match = line.match(QString::fromLatin1(status.readAll()));
    return match.hasMatch() ? match.captured(1).toLongLong() : -1;
}

// Starts a new peak at the current resident size; false when the kernel refuses.
inline bool resetPeak()
{
    QFile clear(QStringLiteral("/proc/self/clear_refs"));
    return clear.open(QIODevice::WriteOnly) && clear.write("5") == 1;
}

// Resident MiB now, and the highest since the last reset.
inline qint64 residentMiB()
{
    return statusKiB("VmRSS") / 1024;
}
inline qint64 peakMiB()
{
    return statusKiB("VmHWM") / 1024;
}

} // namespace processmemory
