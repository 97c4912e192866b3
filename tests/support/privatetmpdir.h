#pragma once

#include <QByteArray>
#include <QFile>
#include <QTemporaryDir>
#include <QtGlobal>

// Points $TMPDIR, under which recordings go, at `path` for as long as it lives.
class TmpDirRedirect
{
public:
    explicit TmpDirRedirect(const QString& path)
        : m_previous(qgetenv("TMPDIR"))
    {
        qputenv("TMPDIR", QFile::encodeName(path));
    }
    ~TmpDirRedirect() { qputenv("TMPDIR", m_previous); }
    TmpDirRedirect(const TmpDirRedirect&) = delete;
    TmpDirRedirect& operator=(const TmpDirRedirect&) = delete;

private:
    QByteArray m_previous;
};

// A folder of the test's own as $TMPDIR for the whole test, so that no recording of a test lands
// among the user's (without one, a folder that cannot exist, so that recordings fail).
class PrivateTmpDir
{
public:
    [[nodiscard]] QString path() const { return m_folder.path(); }

private:
    QTemporaryDir m_folder;
    TmpDirRedirect m_redirect { m_folder.isValid() ? m_folder.path()
                                                   : QStringLiteral("/nonexistent/parlevox") };
};

// What `make` returns when it runs with $TMPDIR at `path`: a capture picks its folder when made.
template<typename Make> auto madeUnder(const QString& path, Make make)
{
    const TmpDirRedirect redirect(path);
    return make();
}
