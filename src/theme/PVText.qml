import QtQuick
import Parlevox.Theme

// Text that a screen reader reads: every visible text of the views is one (or a heading).
Text {
    // A heading of the page, announced as such.
    property bool heading: false

    font: PVTheme.pvSans(14)
    color: PVTheme.pvInk
    Accessible.role: heading ? Accessible.Heading : Accessible.StaticText
    Accessible.name: text
}
