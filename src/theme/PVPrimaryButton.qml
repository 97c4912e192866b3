import QtQuick
import QtQuick.Templates as T
import Parlevox.Theme

// The primary action: accent fill, darker while pressed.
T.Button {
    id: control

    font: PVTheme.pvSans(14, Font.Medium)
    leftPadding: 16
    rightPadding: 16
    topPadding: 0
    bottomPadding: 0
    implicitWidth: implicitContentWidth + leftPadding + rightPadding
    implicitHeight: 40

    contentItem: Text {
        text: control.text
        font: control.font
        color: PVTheme.pvOnAccent
        horizontalAlignment: Text.AlignHCenter
        verticalAlignment: Text.AlignVCenter
        elide: Text.ElideRight
    }

    background: Rectangle {
        radius: PVRadius.button
        color: control.down ? PVTheme.pvAccentHover : PVTheme.pvAccent
    }
}
