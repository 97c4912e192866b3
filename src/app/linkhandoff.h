#pragma once

#include <QLocalServer>
#include <QObject>
#include <QString>
#include <QUrl>

// Keeps Parlevox to one process per user: a later launch hands its parlevox:// link to the
// running one over a local socket and exits.
class LinkHandoff : public QObject
{
    Q_OBJECT

public:
    // `name` is the socket name; the default one is per user.
    explicit LinkHandoff(QString name = defaultName(), QObject* parent = nullptr);

    // The per-user socket name.
    [[nodiscard]] static QString defaultName();
    // Sends `link` (possibly empty: just "I started") to a running instance; true when one took it.
    [[nodiscard]] bool handOff(const QUrl& link) const;
    // Becomes the running instance; false when the socket cannot be made.
    bool listen();

Q_SIGNALS:
    // A later launch handed over this link.
    void linkReceived(const QUrl& link);
    // A later launch came without a link.
    void launchedAgain();

private:
    void readFrom(class QLocalSocket* socket);

    QString m_name;
    QLocalServer m_server;
};
