import QtQuick
import QtQuick.Controls.impl
import QtQuick.Templates as T
import Parlevox.Theme

// What every button of the application shares: an optional symbol from the desktop's icon theme
// (freedesktop name, bundled symbolic fallback) tinted like the label, and answering assistive
// technologies by its label and their Press action.
T.Button {
    id: control

    // A freedesktop icon name such as "media-playback-start-symbolic", or empty for none.
    property string iconName
    property color labelColor: PVTheme.pvInk

    font: PVTheme.pvSans(14, Font.Medium)
    leftPadding: 16
    rightPadding: 16
    topPadding: 0
    bottomPadding: 0
    spacing: 7
    implicitWidth: implicitContentWidth + leftPadding + rightPadding
    implicitHeight: 40
    opacity: enabled ? 1 : 0.45

    icon.name: iconName
    icon.source: iconName.length > 0 ? "qrc:/Parlevox/Theme/icons/" + iconName + ".svg" : ""
    icon.color: labelColor
    icon.width: 16
    icon.height: 16

    Accessible.name: text
    Accessible.onPressAction: clicked()

    contentItem: IconLabel {
        objectName: "label"
        spacing: control.spacing
        display: control.display
        mirrored: control.mirrored
        icon: control.icon
        text: control.text
        font: control.font
        color: control.labelColor
    }
}
