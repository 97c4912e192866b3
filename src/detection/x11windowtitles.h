#pragma once

#include <QByteArray>
#include <QStringList>
#include <chrono>
#include <optional>

// The titles of the client windows of an X11 display whose WM_CLASS (instance or class, ignoring
// ASCII case) is `windowClass`, in the window manager's client order (_NET_CLIENT_LIST) or, without
// an EWMH window manager, in stacking order of the root's children and their children.
// _NET_WM_NAME is preferred to WM_NAME; windows without a readable title are skipped.
// None when the display cannot be opened, a query on the root window fails, or the display does
// not answer within `budget`: the caller never waits longer than that.
[[nodiscard]] std::optional<QStringList> x11WindowTitles(
    const QByteArray& displayName, const QByteArray& windowClass, std::chrono::milliseconds budget);
