#pragma once

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QList>
#include <unistd.h>

// CPU time of this process's threads as /proc reports it, by thread name.
namespace threadcpu {

struct Thread
{
    int id = 0;
    QByteArray name;
    double seconds = 0; // user plus system
};

// The live threads of this process.
inline QList<Thread> threads()
{
    QList<Thread> found;
    const QDir tasks(QStringLiteral("/proc/self/task"));
    for (const QString& task : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile stat(tasks.filePath(task + QStringLiteral("/stat")));
        if (!stat.open(QIODevice::ReadOnly)) {
            continue; // ended meanwhile
        }
        const QByteArray line = stat.readAll();
        const qsizetype open = line.indexOf('(');
        const qsizetype close = line.lastIndexOf(')');
        if (open < 0 || close < open) {
            continue;
        }
        const QList<QByteArray> fields = line.mid(close + 2).split(' ');
        // utime and stime, the 14th and 15th fields of the line.
        found.append({ task.toInt(), line.mid(open + 1, close - open - 1),
            double(fields.value(11).toLongLong() + fields.value(12).toLongLong())
                / double(sysconf(_SC_CLK_TCK)) });
    }
    return found;
}

// User plus system seconds of the live threads named `name`.
inline double seconds(const QByteArray& name)
{
    double sum = 0;
    for (const Thread& thread : threads()) {
        if (thread.name == name) {
            sum += thread.seconds;
        }
    }
    return sum;
}

} // namespace threadcpu
