import QtQuick
import QtQuick.Controls
import Parlevox.App
import Parlevox.Theme

// A notebook window: the notebook view on the shared session.
ApplicationWindow {
    id: window

    required property WindowRegistry windows

    objectName: "notebookWindow"
    title: "Parlevox"
    width: 660
    height: 540
    minimumWidth: 560
    minimumHeight: 420
    color: PVTheme.pvCanvas

    CaptureView {
        anchors.fill: parent
        windows: window.windows
        isMeetingWindow: false
        windowShown: window.visible
    }
}
