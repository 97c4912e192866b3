import QtQuick
import Parlevox.Theme

// The primary action: accent fill, darker while pressed.
PVButton {
    id: control

    labelColor: PVTheme.pvOnAccent

    background: Rectangle {
        radius: PVRadius.button
        color: control.down ? PVTheme.pvAccentHover : PVTheme.pvAccent
    }
}
