import QtQuick
import Parlevox.Theme

// A default button: surface fill with a light outline; `borderless` drops both until pressed.
PVButton {
    id: control

    property bool borderless: false

    font: PVTheme.pvSans(13)
    leftPadding: 12
    rightPadding: 12
    spacing: 6
    implicitHeight: 32

    background: Rectangle {
        radius: PVRadius.button
        color: control.down || (control.borderless && control.hovered) ? PVTheme.pvLine
             : control.borderless ? "transparent" : PVTheme.pvSurface
        border.width: control.borderless ? 0 : 1
        border.color: PVTheme.pvLine
    }
}
