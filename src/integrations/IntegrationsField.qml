import QtQuick
import QtQuick.Controls.Basic
import Parlevox.Theme

// A one-line field of the integrations sheet with a rounded outline; `secure` masks what is typed.
TextField {
    id: control

    property bool secure: false

    echoMode: secure ? TextInput.Password : TextInput.Normal
    font: PVTheme.pvSans(14)
    color: PVTheme.pvInk
    placeholderTextColor: PVTheme.pvInk2
    selectionColor: PVTheme.pvAccentTint
    selectedTextColor: PVTheme.pvInk
    leftPadding: 10
    rightPadding: 10
    implicitHeight: 36
    opacity: enabled ? 1 : 0.55
    Accessible.name: placeholderText

    background: Rectangle {
        radius: PVRadius.input
        color: PVTheme.pvSurface
        border.width: control.activeFocus ? 2 : 1
        border.color: control.activeFocus ? PVTheme.pvAccent : PVTheme.pvLineStrong
    }
}
