#pragma once

#include <QByteArray>
#include <QFile>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QtGlobal>

// A folder of the test's own as $TMPDIR, under which recordings go, so that no recording of a test
// lands among the user's (without one, a folder that cannot exist, so that recordings fail).
class PrivateTmpDir
{
public:
    PrivateTmpDir()
    {
        qputenv("TMPDIR",
            QFile::encodeName(
                m_folder.isValid() ? m_folder.path() : QStringLiteral("/nonexistent/parlevox")));
    }
    [[nodiscard]] QString path() const { return m_folder.path(); }

private:
    QTemporaryDir m_folder;
};

// What `make` returns when it runs with $TMPDIR at `path`: a capture picks its folder when made.
template<typename Make> auto madeUnder(const QString& path, Make make)
{
    const QByteArray previous = qgetenv("TMPDIR");
    qputenv("TMPDIR", QFile::encodeName(path));
    const auto restore = qScopeGuard([&] { qputenv("TMPDIR", previous); });
    return make();
}
