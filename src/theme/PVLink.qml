import QtQuick
import Parlevox.Theme

// A text link that opens something in the browser. Not a button underneath: a button would
// present itself to screen readers as a push button once they connect.
Text {
    id: control

    signal clicked()

    readonly property font linkFont: PVTheme.pvSans(14, Font.Medium)

    font.family: linkFont.family
    font.pixelSize: linkFont.pixelSize
    font.weight: linkFont.weight
    font.underline: hover.hovered || activeFocus
    color: PVTheme.pvAccentText
    activeFocusOnTab: true
    Accessible.role: Accessible.Link
    Accessible.name: text
    Accessible.focusable: true
    Accessible.onPressAction: clicked()
    Keys.onReturnPressed: clicked()
    Keys.onSpacePressed: clicked()

    HoverHandler {
        id: hover
        cursorShape: Qt.PointingHandCursor
    }
    TapHandler {
        onTapped: control.clicked()
    }
}
