import QtQuick
import QtQuick.Controls.Basic
import Parlevox.Theme

// A multi-line text field of the agent page: rounded outline, growing with its text between
// minimumLines and maximumLines unless the layout gives it a height.
TextArea {
    id: control

    property int minimumLines: 1
    property int maximumLines: 4
    readonly property real lineHeight: fontMetrics.height

    font: PVTheme.pvSans(14)
    color: PVTheme.pvInk
    placeholderTextColor: PVTheme.pvInk2
    selectionColor: PVTheme.pvAccentTint
    selectedTextColor: PVTheme.pvInk
    wrapMode: TextEdit.Wrap
    padding: 9
    implicitHeight: Math.max(minimumLines, Math.min(maximumLines, lineCount)) * lineHeight
        + topPadding + bottomPadding
    opacity: enabled ? 1 : 0.55

    FontMetrics {
        id: fontMetrics
        font: control.font
    }

    background: Rectangle {
        radius: PVRadius.input
        color: PVTheme.pvSurface
        border.width: control.activeFocus ? 2 : 1
        border.color: control.activeFocus ? PVTheme.pvAccent : PVTheme.pvLineStrong
    }
}
