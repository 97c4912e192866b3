import QtQuick
import QtQuick.Templates as T
import Parlevox.Theme

// A group of content on the surface colour, padded, rounded, without outline or shadow.
T.Pane {
    padding: 16
    implicitWidth: contentWidth + leftPadding + rightPadding
    implicitHeight: contentHeight + topPadding + bottomPadding

    background: Rectangle {
        color: PVTheme.pvSurface
        radius: PVRadius.card
    }
}
