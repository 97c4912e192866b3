#pragma once

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QString>
#include <QTemporaryDir>

// A file system of a few MiB mounted for one test, so that a disk really fills up: on a disk (an
// ext4 image through a loop device) or in memory (tmpfs). Mounting needs root; isMounted() says
// whether it worked.
class SmallDisk
{
public:
    enum class Kind
    {
        disk,
        memory,
    };

    explicit SmallDisk(int mebibytes, Kind kind = Kind::disk)
    {
        if (!m_folder.isValid() || !QDir(m_folder.path()).mkdir(QStringLiteral("mount"))) {
            return;
        }
        if (kind == Kind::memory) {
            m_mounted = run(QStringLiteral("mount"),
                { QStringLiteral("-t"), QStringLiteral("tmpfs"), QStringLiteral("-o"),
                    QStringLiteral("size=%1m,mode=0755").arg(mebibytes),
                    QStringLiteral("parlevox-test"), path() });
            return;
        }
        const QString image = m_folder.filePath(QStringLiteral("disk.img"));
        QFile file(image);
        m_mounted = file.open(QIODevice::WriteOnly) && file.resize(qint64(mebibytes) << 20)
            && run(QStringLiteral("mkfs.ext4"),
                { QStringLiteral("-q"), QStringLiteral("-F"), QStringLiteral("-O"),
                    QStringLiteral("^has_journal"), QStringLiteral("-m"), QStringLiteral("0"),
                    QStringLiteral("-b"), QStringLiteral("1024"), image })
            && run(QStringLiteral("mount"),
                { QStringLiteral("-o"), QStringLiteral("loop"), image, path() });
    }
    ~SmallDisk()
    {
        if (m_mounted) {
            run(QStringLiteral("umount"), { QStringLiteral("-l"), path() });
        }
    }
    SmallDisk(const SmallDisk&) = delete;
    SmallDisk& operator=(const SmallDisk&) = delete;

    [[nodiscard]] bool isMounted() const { return m_mounted; }
    [[nodiscard]] QString path() const { return m_folder.filePath(QStringLiteral("mount")); }

private:
    static bool run(const QString& command, const QStringList& arguments)
    {
        const QString program = QStandardPaths::findExecutable(command,
            { QStringLiteral("/usr/sbin"), QStringLiteral("/usr/bin"), QStringLiteral("/sbin") });
        return !program.isEmpty() && QProcess::execute(program, arguments) == 0;
    }

    QTemporaryDir m_folder;
    bool m_mounted = false;
};
