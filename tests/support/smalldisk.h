#pragma once

#include <QProcess>
#include <QString>
#include <QTemporaryDir>

// A tmpfs of a few MiB mounted for one test, so that a disk really fills up. Mounting needs root;
// isMounted() says whether it worked.
class SmallDisk
{
public:
    explicit SmallDisk(int mebibytes)
    {
        m_mounted = m_folder.isValid()
            && QProcess::execute(QStringLiteral("mount"),
                   { QStringLiteral("-t"), QStringLiteral("tmpfs"), QStringLiteral("-o"),
                       QStringLiteral("size=%1m,mode=0755").arg(mebibytes),
                       QStringLiteral("parlevox-test"), m_folder.path() })
                == 0;
    }
    ~SmallDisk()
    {
        if (m_mounted) {
            QProcess::execute(QStringLiteral("umount"), { QStringLiteral("-l"), m_folder.path() });
        }
    }
    SmallDisk(const SmallDisk&) = delete;
    SmallDisk& operator=(const SmallDisk&) = delete;

    [[nodiscard]] bool isMounted() const { return m_mounted; }
    [[nodiscard]] QString path() const { return m_folder.path(); }

private:
    QTemporaryDir m_folder;
    bool m_mounted = false;
};
