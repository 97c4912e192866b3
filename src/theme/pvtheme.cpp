#include "pvtheme.h"

#include "pveditabletext.h"
#include "pvportalappearance.h"

#include <QDBusConnection>
#include <QGuiApplication>
#include <QJSEngine>
#include <QPointer>

PVTheme::PVTheme(PVFonts fonts, QObject* parent)
    : QObject(parent)
    , m_fonts(std::move(fonts))
{ }

PVTheme& PVTheme::instance()
{
    static QPointer<PVTheme> theme;
    if (theme.isNull()) {
        Q_ASSERT(qobject_cast<QGuiApplication*>(QCoreApplication::instance()) != nullptr);
        theme = new PVTheme(PVFonts(PVFonts::loadBundledFaces()), QCoreApplication::instance());
        theme->followPortal(QDBusConnection::sessionBus());
    }
    return *theme;
}

PVTheme* PVTheme::create(QQmlEngine* /*engine*/, QJSEngine* /*scriptEngine*/)
{
    PVTheme* theme = &instance();
    // Views are about to be built: their text fields get an editable-text interface.
    pvInstallEditableTextAccessibility();
    QJSEngine::setObjectOwnership(theme, QJSEngine::CppOwnership);
    return theme;
}

void PVTheme::setAppearance(PVAppearance appearance)
{
    if (appearance == m_appearance) {
        return;
    }
    m_appearance = appearance;
    Q_EMIT appearanceChanged();
}

void PVTheme::followPortal(const QDBusConnection& bus)
{
    auto* portal = new PVPortalAppearance(bus, this);
    connect(portal, &PVPortalAppearance::appearanceReported, this, &PVTheme::setAppearance);
}

QFont PVTheme::pvSerif(qreal size, int weight) const
{
    return m_fonts.pvSerif(size, weight);
}

QFont PVTheme::pvSans(qreal size, int weight) const
{
    return m_fonts.pvSans(size, weight);
}

void PVTheme::pvSpaceLines(QQuickTextDocument* document, qreal extra) const
{
    ::pvSpaceLines(document, extra);
}
