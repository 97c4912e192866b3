#pragma once

#include "pvcolor.h"
#include "pvfonts.h"

#include <QColor>
#include <QFont>
#include <QObject>
#include <QQuickTextDocument>
#include <QtQml/qqmlregistration.h>

class QDBusConnection;
class QJSEngine;

class QQmlEngine;

// The application's look: the palette resolved for the current appearance, the fonts, and the
// appearance itself, followed from the desktop. One per application; QML reads it as PVTheme.
class PVTheme : public QObject
{
    Q_OBJECT
    QML_ELEMENT
    QML_SINGLETON
    Q_PROPERTY(bool dark READ isDark NOTIFY appearanceChanged)
    Q_PROPERTY(QColor pvCanvas READ pvCanvas NOTIFY appearanceChanged)
    Q_PROPERTY(QColor pvSurface READ pvSurface NOTIFY appearanceChanged)
    Q_PROPERTY(QColor pvInk READ pvInk NOTIFY appearanceChanged)
    Q_PROPERTY(QColor pvInk2 READ pvInk2 NOTIFY appearanceChanged)
    Q_PROPERTY(QColor pvAccent READ pvAccent NOTIFY appearanceChanged)
    Q_PROPERTY(QColor pvAccentHover READ pvAccentHover NOTIFY appearanceChanged)
    Q_PROPERTY(QColor pvAccentTint READ pvAccentTint NOTIFY appearanceChanged)
    Q_PROPERTY(QColor pvOnAccent READ pvOnAccent NOTIFY appearanceChanged)
    Q_PROPERTY(QColor pvAccentText READ pvAccentText NOTIFY appearanceChanged)
    Q_PROPERTY(QColor pvRec READ pvRec NOTIFY appearanceChanged)
    Q_PROPERTY(QColor pvRecTint READ pvRecTint NOTIFY appearanceChanged)
    Q_PROPERTY(QColor pvWarn READ pvWarn NOTIFY appearanceChanged)
    Q_PROPERTY(QColor pvWarnTint READ pvWarnTint NOTIFY appearanceChanged)
    Q_PROPERTY(QColor pvLine READ pvLine NOTIFY appearanceChanged)
    Q_PROPERTY(QColor pvLineStrong READ pvLineStrong NOTIFY appearanceChanged)

public:
    // A theme in the light appearance with the given font rules; it follows nothing until told to.
    explicit PVTheme(PVFonts fonts, QObject* parent = nullptr);

    // The application's theme: bundled fonts, following the session bus's settings portal. Made on
    // first use, owned by the application object, which must exist.
    [[nodiscard]] static PVTheme& instance();
    // The application's theme for QML; the engine does not own it.
    static PVTheme* create(QQmlEngine* engine, QJSEngine* scriptEngine);

    // The appearance the colours resolve for.
    [[nodiscard]] PVAppearance appearance() const { return m_appearance; }
    // Sets the appearance; every colour property notifies when it changes.
    void setAppearance(PVAppearance appearance);
    // Whether colours take their dark values.
    [[nodiscard]] bool isDark() const { return m_appearance == PVAppearance::dark; }

    // Follows the desktop's colour scheme through the settings portal on `bus`, asynchronously.
    void followPortal(const QDBusConnection& bus);

    // The serif font at a size and weight (Font.Normal when omitted).
    Q_INVOKABLE [[nodiscard]] QFont pvSerif(qreal size, int weight = QFont::Normal) const;
    // The sans-serif font at a size and weight (Font.Normal when omitted).
    Q_INVOKABLE [[nodiscard]] QFont pvSans(qreal size, int weight = QFont::Normal) const;
    // Adds `extra` pixels between the lines of a TextEdit's plain text (its textDocument).
    Q_INVOKABLE void pvSpaceLines(QQuickTextDocument* document, qreal extra) const;

    // The palette in the current appearance.
    [[nodiscard]] QColor pvCanvas() const { return PVColor::pvCanvas().resolved(m_appearance); }
    [[nodiscard]] QColor pvSurface() const { return PVColor::pvSurface().resolved(m_appearance); }
    [[nodiscard]] QColor pvInk() const { return PVColor::pvInk().resolved(m_appearance); }
    [[nodiscard]] QColor pvInk2() const { return PVColor::pvInk2().resolved(m_appearance); }
    [[nodiscard]] QColor pvAccent() const { return PVColor::pvAccent().resolved(m_appearance); }
    [[nodiscard]] QColor pvAccentHover() const
    {
        return PVColor::pvAccentHover().resolved(m_appearance);
    }
    [[nodiscard]] QColor pvAccentTint() const
    {
        return PVColor::pvAccentTint().resolved(m_appearance);
    }
    [[nodiscard]] QColor pvOnAccent() const { return PVColor::pvOnAccent().resolved(m_appearance); }
    [[nodiscard]] QColor pvAccentText() const
    {
        return PVColor::pvAccentText().resolved(m_appearance);
    }
    [[nodiscard]] QColor pvRec() const { return PVColor::pvRec().resolved(m_appearance); }
    [[nodiscard]] QColor pvRecTint() const { return PVColor::pvRecTint().resolved(m_appearance); }
    [[nodiscard]] QColor pvWarn() const { return PVColor::pvWarn().resolved(m_appearance); }
    [[nodiscard]] QColor pvWarnTint() const { return PVColor::pvWarnTint().resolved(m_appearance); }
    [[nodiscard]] QColor pvLine() const { return PVColor::pvLine().resolved(m_appearance); }
    [[nodiscard]] QColor pvLineStrong() const
    {
        return PVColor::pvLineStrong().resolved(m_appearance);
    }

Q_SIGNALS:
    // The appearance, and with it every colour, changed.
    void appearanceChanged();

private:
    PVFonts m_fonts;
    PVAppearance m_appearance = PVAppearance::light;
};
