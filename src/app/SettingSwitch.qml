import QtQuick
import QtQuick.Controls
import Parlevox.Theme

// A switch for one setting, its label wrapping: `chosen` comes when the user turns it, never when
// the setting itself changes.
Switch {
    id: control

    property bool setting: false
    signal chosen(bool on)

    checked: setting
    // Not onToggled: a screen reader's Toggle sets `checked` without it.
    onCheckedChanged: {
        if (checked !== setting)
            chosen(checked);
    }
    Accessible.name: text
    font: PVTheme.pvSans(14)
    contentItem: Text {
        leftPadding: control.indicator.width + control.spacing
        text: control.text
        font: control.font
        color: PVTheme.pvInk
        wrapMode: Text.Wrap
        verticalAlignment: Text.AlignVCenter
    }
}
