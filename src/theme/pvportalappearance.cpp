#include "pvportalappearance.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>

namespace {

const QString service = QStringLiteral("org.freedesktop.portal.Desktop");
const QString path = QStringLiteral("/org/freedesktop/portal/desktop");
const QString interface = QStringLiteral("org.freedesktop.portal.Settings");
const QString group = QStringLiteral("org.freedesktop.appearance");
const QString colorScheme = QStringLiteral("color-scheme");
const QString readOne = QStringLiteral("ReadOne");
const QString readAny = QStringLiteral("Read");

// Read wraps the value in one more variant than ReadOne does.
QVariant unwrapped(QVariant value)
{
    while (value.metaType() == QMetaType::fromType<QDBusVariant>()) {
        value = value.value<QDBusVariant>().variant();
    }
    return value;
}

} // namespace

PVPortalAppearance::PVPortalAppearance(const QDBusConnection& bus, QObject* parent)
    : QObject(parent)
    , m_bus(bus)
{
    if (!m_bus.isConnected()) {
        return;
    }
    // The bus looks the slot's argument types up by name: a type not yet used anywhere in the
    // process is unknown to it, and the subscription would silently fail.
    qRegisterMetaType<QDBusVariant>();
    m_bus.connect(service, path, interface, QStringLiteral("SettingChanged"), this,
        SLOT(settingChanged(QString, QString, QDBusVariant)));
    read(readOne);
}

PVAppearance PVPortalAppearance::fromColorScheme(uint value)
{
    switch (value) {
    case 1:
        return PVAppearance::dark;
    case 2:
        return PVAppearance::light;
    default:
        return PVAppearance::noPreference;
    }
}

void PVPortalAppearance::read(const QString& method)
{
    QDBusMessage call = QDBusMessage::createMethodCall(service, path, interface, method);
    call << group << colorScheme;
    auto* watcher = new QDBusPendingCallWatcher(m_bus.asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
        [this, method](QDBusPendingCallWatcher* finished) { readFinished(finished, method); });
}

void PVPortalAppearance::readFinished(QDBusPendingCallWatcher* watcher, const QString& method)
{
    watcher->deleteLater();
    const QDBusPendingReply<QDBusVariant> reply = *watcher;
    if (reply.isError()) {
        // Portals older than ReadOne only offer Read.
        if (method == readOne && reply.error().type() == QDBusError::UnknownMethod) {
            read(readAny);
        }
        return;
    }
    // A change announced while the read was under way is newer than its answer.
    if (!m_changeSeen) {
        report(reply.argumentAt(0));
    }
}

void PVPortalAppearance::settingChanged(
    const QString& changedGroup, const QString& key, const QDBusVariant& value)
{
    if (changedGroup != group || key != colorScheme) {
        return;
    }
    m_changeSeen = true;
    report(value.variant());
}

void PVPortalAppearance::report(const QVariant& value)
{
    bool isNumber = false;
    const uint scheme = unwrapped(value).toUInt(&isNumber);
    Q_EMIT appearanceReported(fromColorScheme(isNumber ? scheme : 0));
}
