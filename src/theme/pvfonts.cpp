#include "pvfonts.h"

#include <QFontDatabase>
#include <algorithm>
#include <array>

namespace {

struct Face
{
    QString name;
    QString family;
    QString style;
    QFont::Weight weight;
};

const std::array<Face, 4>& faces()
{
    static const std::array<Face, 4> all { {
        { QStringLiteral("EBGaramond-Regular"), QStringLiteral("EB Garamond"),
            QStringLiteral("Regular"), QFont::Normal },
        { QStringLiteral("EBGaramond-Medium"), QStringLiteral("EB Garamond"),
            QStringLiteral("Medium"), QFont::Medium },
        { QStringLiteral("Figtree-Regular"), QStringLiteral("Figtree"), QStringLiteral("Regular"),
            QFont::Normal },
        { QStringLiteral("Figtree-Medium"), QStringLiteral("Figtree"), QStringLiteral("Medium"),
            QFont::Medium },
    } };
    return all;
}

const Face* faceNamed(const QString& name)
{
    const auto& all = faces();
    const auto found
        = std::find_if(all.begin(), all.end(), [&](const Face& face) { return face.name == name; });
    return found == all.end() ? nullptr : &*found;
}

QSet<QString> registerFaces()
{
    QSet<QString> usable;
    for (const Face& face : faces()) {
        const int id = QFontDatabase::addApplicationFont(
            QStringLiteral(":/Parlevox/Theme/fonts/%1.ttf").arg(face.name));
        const bool bundled
            = id >= 0 && QFontDatabase::applicationFontFamilies(id).contains(face.family);
        if (bundled || QFontDatabase::styles(face.family).contains(face.style)) {
            usable.insert(face.name);
        }
    }
    return usable;
}

int pixelSize(qreal size)
{
    return std::max(1, qRound(size));
}

QFont::Weight validWeight(int weight)
{
    return QFont::Weight(std::clamp(weight, 1, 1000));
}

} // namespace

PVFonts::PVFonts(QSet<QString> availableFaces)
    : m_availableFaces(std::move(availableFaces))
{ }

QSet<QString> PVFonts::loadBundledFaces()
{
    static const QSet<QString> usable = registerFaces();
    return usable;
}

QString PVFonts::serifFaceName(int weight)
{
    return weight == QFont::Normal ? QStringLiteral("EBGaramond-Regular")
                                   : QStringLiteral("EBGaramond-Medium");
}

QString PVFonts::sansFaceName(int weight)
{
    return weight == QFont::Normal ? QStringLiteral("Figtree-Regular")
                                   : QStringLiteral("Figtree-Medium");
}

QFont PVFonts::pvSerif(qreal size, int weight) const
{
    return bundledOr(serifFaceName(weight), size, weight, true);
}

QFont PVFonts::pvSans(qreal size, int weight) const
{
    return bundledOr(sansFaceName(weight), size, weight, false);
}

QFont PVFonts::bundledOr(const QString& faceName, qreal size, int weight, bool serif) const
{
    const Face* face = faceNamed(faceName);
    if (face != nullptr && m_availableFaces.contains(faceName)) {
        QFont font(face->family);
        font.setStyleName(face->style);
        font.setWeight(face->weight);
        font.setPixelSize(pixelSize(size));
        return font;
    }
    QFont font = serif ? QFont(QStringLiteral("serif"))
                       : QFontDatabase::systemFont(QFontDatabase::GeneralFont);
    if (serif) {
        font.setStyleHint(QFont::Serif);
    }
    font.setStyleName({});
    font.setWeight(validWeight(weight));
    font.setPixelSize(pixelSize(size));
    return font;
}
