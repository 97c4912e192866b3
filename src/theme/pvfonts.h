#pragma once

#include <QFont>
#include <QSet>
#include <QString>

// The two font families of the theme, each with a regular and a medium face, and the system
// fallbacks used when a face is missing. Sizes are in device-independent pixels, the unit of the
// theme's radii and paddings.
class PVFonts
{
public:
    // Rules that look for the named faces ("EBGaramond-Medium") among `availableFaces` only.
    explicit PVFonts(QSet<QString> availableFaces);

    // Registers the bundled faces as application fonts, once per process, and returns the names of
    // the faces that can be used: bundled, or else installed on the system. Needs a GUI
    // application.
    [[nodiscard]] static QSet<QString> loadBundledFaces();

    // EB Garamond: its regular face for the regular weight, its medium face for every other; the
    // system serif font at that size and weight when the face is missing.
    [[nodiscard]] QFont pvSerif(qreal size, int weight = QFont::Normal) const;

    // Figtree, by the same rule, falling back to the system's default font.
    [[nodiscard]] QFont pvSans(qreal size, int weight = QFont::Normal) const;

    // The face name the serif and sans rules ask for at a weight.
    [[nodiscard]] static QString serifFaceName(int weight);
    [[nodiscard]] static QString sansFaceName(int weight);

private:
    [[nodiscard]] QFont bundledOr(
        const QString& faceName, qreal size, int weight, bool serif) const;

    QSet<QString> m_availableFaces;
};
