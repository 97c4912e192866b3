import QtQuick
import QtQuick.Templates as T
import Parlevox.Theme

// A secondary action: outlined, filled with the surface colour while pressed.
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
        color: PVTheme.pvInk
        horizontalAlignment: Text.AlignHCenter
        verticalAlignment: Text.AlignVCenter
        elide: Text.ElideRight
    }

    // The outline is drawn over the fill, inside the shape.
    background: Rectangle {
        radius: PVRadius.button
        color: control.down ? PVTheme.pvSurface : "transparent"
        border.color: PVTheme.pvLineStrong
        border.width: 1
    }
}
