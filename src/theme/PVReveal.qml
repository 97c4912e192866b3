import QtQuick

// Scrolls `flickable` so that `target` shows whole once it has been laid out: call reveal() when
// something new arrives below the fold. It follows the layout for a moment, then lets go. A control
// inside that takes the keyboard focus (Tab, or a screen reader moving to it) is brought in too.
Item {
    id: control

    property Flickable flickable
    property Item target
    property bool pending: false

    function reveal() {
        pending = true;
        settle.restart();
        Qt.callLater(follow);
    }

    function follow() {
        if (!pending || !flickable || !target || !target.visible || target.height <= 0)
            return;
        const top = target.mapToItem(flickable.contentItem, 0, 0).y - 12;
        const bottom = top + target.height + 24;
        const lowest = Math.max(0, flickable.contentHeight - flickable.height);
        if (bottom > flickable.contentY + flickable.height)
            flickable.contentY = Math.min(lowest, bottom - flickable.height);
        if (top < flickable.contentY)
            flickable.contentY = Math.max(0, top);
    }

    function revealItem(item) {
        target = item;
        control.reveal();
    }

    visible: false

    Connections {
        target: control.flickable ? control.flickable.Window.window : null
        function onActiveFocusItemChanged() {
            // Something that just arrived is being shown: the focus leaving a control that went
            // away must not scroll elsewhere.
            if (control.pending)
                return;
            const focused = control.flickable.Window.activeFocusItem;
            for (let item = focused; item; item = item.parent) {
                if (item === control.flickable.contentItem) {
                    control.revealItem(focused);
                    return;
                }
            }
        }
    }

    Timer {
        id: settle
        interval: 600
        onTriggered: control.pending = false
    }
    Connections {
        target: control.target
        function onYChanged() { control.follow(); }
        function onHeightChanged() { control.follow(); }
        function onVisibleChanged() { control.follow(); }
    }
    Connections {
        target: control.flickable
        function onContentHeightChanged() { control.follow(); }
        function onHeightChanged() { control.follow(); }
    }
}
