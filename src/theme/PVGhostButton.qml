import QtQuick
import Parlevox.Theme

// A secondary action: outlined, filled with the surface colour while pressed.
PVButton {
    id: control

    // The outline is drawn over the fill, inside the shape.
    background: Rectangle {
        radius: PVRadius.button
        color: control.down ? PVTheme.pvSurface : "transparent"
        border.color: PVTheme.pvLineStrong
        border.width: 1
    }
}
