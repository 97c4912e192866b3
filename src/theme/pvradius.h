#pragma once

#include <QObject>
#include <QtQml/qqmlregistration.h>

// Corner radii of the theme, in device-independent pixels: PVRadius::card() in C++, PVRadius.card
// in QML.
class PVRadius : public QObject
{
    Q_OBJECT
    QML_ELEMENT
    QML_SINGLETON
    Q_PROPERTY(int input READ input CONSTANT)
    Q_PROPERTY(int button READ button CONSTANT)
    Q_PROPERTY(int card READ card CONSTANT)

public:
    using QObject::QObject;

    // Text fields.
    [[nodiscard]] static constexpr int input() { return 8; }
    // Buttons.
    [[nodiscard]] static constexpr int button() { return 12; }
    // Cards.
    [[nodiscard]] static constexpr int card() { return 16; }
};
