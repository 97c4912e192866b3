#pragma once

#include "pvcolor.h"

#include <QDBusConnection>
#include <QDBusVariant>
#include <QObject>

class QDBusPendingCallWatcher;

// Follows the desktop's colour scheme through the freedesktop settings portal: one asynchronous
// read at construction, then every change the portal announces. Without a portal nothing is
// reported.
class PVPortalAppearance : public QObject
{
    Q_OBJECT

public:
    // Starts following the portal on `bus`; never blocks.
    explicit PVPortalAppearance(const QDBusConnection& bus, QObject* parent = nullptr);

    // The appearance for a "color-scheme" value: 1 dark, 2 light, anything else no preference.
    [[nodiscard]] static PVAppearance fromColorScheme(uint value);

Q_SIGNALS:
    // The portal reported the colour scheme, at start or on a change.
    void appearanceReported(PVAppearance appearance);

private Q_SLOTS:
    void settingChanged(const QString& group, const QString& key, const QDBusVariant& value);

private:
    void read(const QString& method);
    void readFinished(QDBusPendingCallWatcher* watcher, const QString& method);
    void report(const QVariant& value);

    QDBusConnection m_bus;
    bool m_changeSeen = false;
};
