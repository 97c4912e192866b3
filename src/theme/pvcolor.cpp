#include "pvcolor.h"

#include <limits>

PVColor::PVColor(QStringView pvLight, QStringView pvDark)
    : m_light(fromHex(pvLight))
    , m_dark(fromHex(pvDark))
{ }

PVColor::PVColor(QColor light, QColor dark)
    : m_light(light)
    , m_dark(dark)
{ }

QColor PVColor::resolved(PVAppearance appearance) const
{
    return appearance == PVAppearance::dark ? m_dark : m_light;
}

PVColor PVColor::withOpacity(qreal opacity) const
{
    QColor light = m_light;
    QColor dark = m_dark;
    light.setAlphaF(float(opacity));
    dark.setAlphaF(float(opacity));
    return { light, dark };
}

QColor PVColor::fromHex(QStringView text)
{
    while (text.startsWith(u'#')) {
        text = text.mid(1);
    }
    while (text.endsWith(u'#')) {
        text.chop(1);
    }

    // Scanned like a hexadecimal number scanner: leading white space skipped, an optional "0x",
    // then digits up to the first other character, saturating at the largest 64-bit value.
    qsizetype position = 0;
    while (position < text.size() && text[position].isSpace()) {
        ++position;
    }
    const auto digitAt = [&](qsizetype at) {
        if (at >= text.size()) {
            return -1;
        }
        const char16_t c = text[at].unicode();
        if (c >= u'0' && c <= u'9') {
            return int(c - u'0');
        }
        if (c >= u'a' && c <= u'f') {
            return int(c - u'a' + 10);
        }
        if (c >= u'A' && c <= u'F') {
            return int(c - u'A' + 10);
        }
        return -1;
    };
    if (text.mid(position, 2).compare(u"0x", Qt::CaseInsensitive) == 0
        && digitAt(position + 2) >= 0) {
        position += 2;
    }
    constexpr quint64 maximum = std::numeric_limits<quint64>::max();
    quint64 value = 0;
    for (int digit = digitAt(position); digit >= 0; digit = digitAt(++position)) {
        value = value > (maximum >> 4) ? maximum : (value << 4) | quint64(digit);
    }

    return QColor::fromRgb(int((value >> 16) & 0xFF), int((value >> 8) & 0xFF), int(value & 0xFF));
}

const PVColor& PVColor::pvCanvas()
{
    static const PVColor color(u"#FAF8F1", u"#0F1613");
    return color;
}

const PVColor& PVColor::pvSurface()
{
    static const PVColor color(u"#EDE9DA", u"#18211D");
    return color;
}

const PVColor& PVColor::pvInk()
{
    static const PVColor color(u"#14201C", u"#F3F1E6");
    return color;
}

const PVColor& PVColor::pvInk2()
{
    static const PVColor color(u"#5E675F", u"#A3ADA5");
    return color;
}

const PVColor& PVColor::pvAccent()
{
    static const PVColor color(u"#CFE86B", u"#CFE86B");
    return color;
}

const PVColor& PVColor::pvAccentHover()
{
    static const PVColor color(u"#C3DE55", u"#DDF083");
    return color;
}

const PVColor& PVColor::pvAccentTint()
{
    static const PVColor color(u"#EEF3C7", u"#2A3320");
    return color;
}

const PVColor& PVColor::pvOnAccent()
{
    static const PVColor color(u"#14201C", u"#14201C");
    return color;
}

const PVColor& PVColor::pvAccentText()
{
    static const PVColor color(u"#5C6B0F", u"#CFE86B");
    return color;
}

const PVColor& PVColor::pvRec()
{
    static const PVColor color(u"#C8341C", u"#FF6A4D");
    return color;
}

const PVColor& PVColor::pvRecTint()
{
    static const PVColor color(u"#FBEAE6", u"#3A1F1A");
    return color;
}

const PVColor& PVColor::pvWarn()
{
    static const PVColor color(u"#8A5A0B", u"#F0B94F");
    return color;
}

const PVColor& PVColor::pvWarnTint()
{
    static const PVColor color(u"#F6E7C8", u"#33281A");
    return color;
}

const PVColor& PVColor::pvLine()
{
    static const PVColor color = pvInk().withOpacity(0.14);
    return color;
}

const PVColor& PVColor::pvLineStrong()
{
    static const PVColor color = pvInk().withOpacity(0.32);
    return color;
}
