#pragma once

#include <QColor>
#include <QStringView>

// The desktop's light or dark preference, numbered as the settings portal's "color-scheme".
enum class PVAppearance
{
    noPreference = 0,
    dark = 1,
    light = 2,
};

// A colour with one value for the light appearance and one for the dark appearance.
class PVColor
{
public:
    // Two hexadecimal RRGGBB texts, the light one first; each yields an opaque sRGB colour.
    PVColor(QStringView pvLight, QStringView pvDark);

    // The dark value under the dark appearance, the light value under any other.
    [[nodiscard]] QColor resolved(PVAppearance appearance) const;

    // The same colour in both appearances at the given opacity.
    [[nodiscard]] PVColor withOpacity(qreal opacity) const;

    // Reads "#RRGGBB": leading and trailing "#" removed, then the longest hexadecimal prefix taken
    // as a 64-bit number (0 when there is none) whose low 24 bits give red, green and blue.
    [[nodiscard]] static QColor fromHex(QStringView text);

    // The palette; each colour is made on first use and shared.
    static const PVColor& pvCanvas();
    static const PVColor& pvSurface();
    static const PVColor& pvInk();
    static const PVColor& pvInk2();
    static const PVColor& pvAccent();
    static const PVColor& pvAccentHover();
    static const PVColor& pvAccentTint();
    static const PVColor& pvOnAccent();
    static const PVColor& pvAccentText();
    static const PVColor& pvRec();
    static const PVColor& pvRecTint();
    static const PVColor& pvWarn();
    static const PVColor& pvWarnTint();
    static const PVColor& pvLine();
    static const PVColor& pvLineStrong();

private:
    PVColor(QColor light, QColor dark);

    QColor m_light;
    QColor m_dark;
};
