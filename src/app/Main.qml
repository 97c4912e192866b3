import QtQuick
import QtQuick.Controls

ApplicationWindow {
    width: 660
    height: 540
    visible: true
    title: "Parlevox"

    Label {
        anchors.centerIn: parent
        text: "Parlevox · carnet de réunion (les fenêtres arrivent bientôt)"
    }
}
