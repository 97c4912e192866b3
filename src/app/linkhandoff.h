#pragma once

#include <QLocalServer>
#include <QObject>
#include <QString>
#include <QUrl>

class QLocalSocket;

// Keeps Parlevox to one process per user: a later launch hands its parlevox:// link to the
// running one over a local socket and exits. Only a process of the same user is trusted, on both
// ends; one connection carries at most one launch or link.
class LinkHandoff : public QObject
{
    Q_OBJECT

public:
    // `path` is the socket's file; the default one is private to the user. Empty: no hand-off.
    explicit LinkHandoff(QString path = defaultPath(), QObject* parent = nullptr);

    // The socket in $XDG_RUNTIME_DIR, or in a private folder of the temporary folder.
    [[nodiscard]] static QString defaultPath();
    // The socket in `runtimeDir` when it is this user's and private to them; otherwise in the
    // folder "parlevox-<uid>" of `temporaryDir`, made private, or a fresh private folder there
    // when that name is taken by someone else. Empty when no private folder can be had.
    [[nodiscard]] static QString socketPath(const QString& runtimeDir, const QString& temporaryDir);

    [[nodiscard]] const QString& path() const { return m_path; }
    // Sends `link` (possibly empty: just "I started") to a running instance of this user; true
    // when one took it.
    [[nodiscard]] bool handOff(const QUrl& link) const;
    // Becomes the running instance; false when the socket cannot be had (Parlevox runs anyway).
    bool listen();

Q_SIGNALS:
    // A later launch handed over this link.
    void linkReceived(const QUrl& link);
    // A later launch came without a link.
    void launchedAgain();

private:
    void accept(QLocalSocket* socket);
    void readFrom(QLocalSocket* socket);

    QString m_path;
    QLocalServer m_server;
    int m_open = 0; // connections not yet answered
};
