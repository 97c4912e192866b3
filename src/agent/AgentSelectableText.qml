import QtQuick
import Parlevox.Theme

// Read-only text that the user can select and copy.
TextEdit {
    readOnly: true
    selectByMouse: true
    wrapMode: TextEdit.Wrap
    selectionColor: PVTheme.pvAccentTint
    selectedTextColor: PVTheme.pvInk
    Accessible.role: Accessible.StaticText
    Accessible.name: text
}
