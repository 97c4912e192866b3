import QtQuick
import QtQuick.Templates as T
import Parlevox.Theme

// A text link that opens something in the browser.
T.AbstractButton {
    id: control

    font: PVTheme.pvSans(14, Font.Medium)
    implicitWidth: label.implicitWidth
    implicitHeight: label.implicitHeight
    hoverEnabled: true
    Accessible.role: Accessible.Link
    Accessible.name: text
    Accessible.onPressAction: clicked()

    contentItem: Text {
        id: label
        text: control.text
        font.family: control.font.family
        font.pixelSize: control.font.pixelSize
        font.weight: control.font.weight
        font.underline: control.hovered || control.visualFocus
        color: PVTheme.pvAccentText
    }
}
