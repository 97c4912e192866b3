import QtQuick

// Scrolls `flickable` so that `target` shows whole once it has been laid out: call reveal() when
// something new arrives below the fold. It follows the layout for a moment, then lets go.
Item {
    id: reveal

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

    visible: false

    Timer {
        id: settle
        interval: 600
        onTriggered: reveal.pending = false
    }
    Connections {
        target: reveal.target
        function onYChanged() { reveal.follow(); }
        function onHeightChanged() { reveal.follow(); }
        function onVisibleChanged() { reveal.follow(); }
    }
    Connections {
        target: reveal.flickable
        function onContentHeightChanged() { reveal.follow(); }
        function onHeightChanged() { reveal.follow(); }
    }
}
