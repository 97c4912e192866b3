import QtQuick
import QtQuick.Controls.Basic
import Parlevox.Theme

// A multi-line editor of fixed height that scrolls its text, with the fields' rounded outline.
ScrollView {
    id: control

    property alias text: area.text
    property alias textArea: area

    clip: true
    opacity: enabled ? 1 : 0.55
    Accessible.ignored: true

    background: Rectangle {
        radius: PVRadius.input
        color: PVTheme.pvSurface
        border.width: area.activeFocus ? 2 : 1
        border.color: area.activeFocus ? PVTheme.pvAccent : PVTheme.pvLineStrong
    }

    TextArea {
        id: area
        objectName: control.objectName + "Text"
        Accessible.name: control.Accessible.name
        font: PVTheme.pvSans(14)
        color: PVTheme.pvInk
        selectionColor: PVTheme.pvAccentTint
        selectedTextColor: PVTheme.pvInk
        wrapMode: TextEdit.Wrap
        padding: 9
        background: null
    }
}
