import QtQuick
import Parlevox.Theme

// A small indeterminate progress indicator: a dot circling a faint ring.
Item {
    id: spinner

    property bool running: visible

    implicitWidth: 20
    implicitHeight: 20
    Accessible.role: Accessible.Animation

    Rectangle {
        anchors.fill: parent
        radius: width / 2
        color: "transparent"
        border.width: 2
        border.color: PVTheme.pvLine
    }

    Item {
        id: rotor
        anchors.fill: parent

        Rectangle {
            width: 6
            height: 6
            radius: 3
            x: (parent.width - width) / 2
            y: -1
            color: PVTheme.pvAccentText
        }

        RotationAnimator on rotation {
            from: 0
            to: 360
            duration: 900
            loops: Animation.Infinite
            running: spinner.running
        }
    }
}
