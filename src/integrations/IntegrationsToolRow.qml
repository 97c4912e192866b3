import QtQuick
import QtQuick.Layouts
import Parlevox.Theme

// One tool of the catalogue: its name over its purpose, then its status and an optional button.
RowLayout {
    id: row

    property string name
    property string purpose
    property string status
    // The button's text; no button when empty.
    property string actionText
    property string actionAccessibleName: actionText

    signal activated()

    spacing: 10
    Layout.fillWidth: true
    Layout.topMargin: 6
    Layout.bottomMargin: 6

    ColumnLayout {
        spacing: 3
        Layout.fillWidth: true

        PVText {
            objectName: "name"
            text: row.name
            font: PVTheme.pvSans(15, Font.DemiBold)
            color: PVTheme.pvInk
        }
        PVText {
            objectName: "purpose"
            text: row.purpose
            font: PVTheme.pvSans(13)
            color: PVTheme.pvInk2
            wrapMode: Text.Wrap
            Layout.fillWidth: true
        }
    }

    PVText {
        objectName: "status"
        text: row.status
        font: PVTheme.pvSans(11)
        color: PVTheme.pvInk2
        Accessible.name: row.name + " · " + row.status
    }

    PVGhostButton {
        objectName: row.objectName.replace("Row", "Action")
        visible: row.actionText.length > 0
        text: row.actionText
        implicitHeight: 32
        Accessible.name: row.actionAccessibleName
        onClicked: row.activated()
    }
}
