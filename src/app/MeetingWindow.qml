import QtQuick
import QtQuick.Controls
import Parlevox.App
import Parlevox.Theme

// The meeting window: the meeting variant of the notebook view while a meeting is on. It closes
// itself when the meeting ends, first opening a notebook when none is left on screen.
ApplicationWindow {
    id: window

    required property WindowRegistry windows
    readonly property var session: windows.session
    property bool watchedActive: false

    objectName: "meetingWindow"
    title: "Réunion Parlevox"
    width: 720
    height: 520
    minimumWidth: 560
    minimumHeight: 420
    color: session.meetingIsActive ? PVTheme.pvCanvas : "transparent"

    function meetingChanged(previous, current) {
        watchedActive = current;
        if (current)
            return;
        if (previous && session.notebookCount === 0)
            windows.openWindow("notebook");
        // Closed from a later turn of the event loop: the window may be in the middle of showing.
        Qt.callLater(window.closeUnlessActive);
    }

    function closeUnlessActive() {
        if (!session.meetingIsActive)
            close();
    }

    Component.onCompleted: meetingChanged(session.meetingIsActive, session.meetingIsActive)

    Connections {
        target: window.session
        function onMeetingIsActiveChanged() {
            window.meetingChanged(window.watchedActive, window.session.meetingIsActive);
        }
    }

    Loader {
        anchors.fill: parent
        active: window.session.meetingIsActive
        sourceComponent: CaptureView {
            windows: window.windows
            isMeetingWindow: true
            windowShown: window.visible
        }
    }
}
