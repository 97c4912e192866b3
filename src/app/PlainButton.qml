import QtQuick
import QtQuick.Templates as T
import Parlevox.Theme

// A default button: surface fill with a light outline; `borderless` drops both until pressed.
T.Button {
    id: control

    property bool borderless: false

    font: PVTheme.pvSans(13)
    leftPadding: 12
    rightPadding: 12
    implicitWidth: implicitContentWidth + leftPadding + rightPadding
    implicitHeight: 32
    opacity: enabled ? 1 : 0.45
    // Assistive technologies press it like a click.
    Accessible.onPressAction: clicked()

    contentItem: Text {
        text: control.text
        font: control.font
        color: PVTheme.pvInk
        horizontalAlignment: Text.AlignHCenter
        verticalAlignment: Text.AlignVCenter
        elide: Text.ElideRight
    }

    background: Rectangle {
        radius: PVRadius.button
        color: control.down || (control.borderless && control.hovered) ? PVTheme.pvLine
             : control.borderless ? "transparent" : PVTheme.pvSurface
        border.width: control.borderless ? 0 : 1
        border.color: PVTheme.pvLine
    }
}
