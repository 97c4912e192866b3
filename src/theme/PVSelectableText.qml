import QtQuick
import Parlevox.Theme

// Read-only text shown exactly as it stands (spaces and tabs kept), that the user can select and
// copy; `extraLineSpacing` adds room between its lines.
TextEdit {
    id: control

    property real extraLineSpacing: 0

    readOnly: true
    selectByMouse: true
    textFormat: TextEdit.PlainText
    wrapMode: TextEdit.Wrap
    font: PVTheme.pvSans(14)
    color: PVTheme.pvInk
    selectionColor: PVTheme.pvAccentTint
    selectedTextColor: PVTheme.pvInk
    Accessible.role: Accessible.StaticText
    Accessible.name: text

    function spaceLines() {
        if (extraLineSpacing > 0)
            PVTheme.pvSpaceLines(control.textDocument, extraLineSpacing);
    }
    onTextChanged: spaceLines()
    onExtraLineSpacingChanged: spaceLines()
    Component.onCompleted: spaceLines()
}
