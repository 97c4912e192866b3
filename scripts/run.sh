#!/usr/bin/env bash
# Sets everything up, builds, registers the parlevox:// links for this user, then starts Parlevox.
# Arguments go to Parlevox (a parlevox:// link).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

binary="$(pwd)/build/src/app/parlevox"

# A desktop entry for this build, so that a parlevox:// link opened in a browser reaches Parlevox.
# Harmless without xdg-mime: the entry is written, the scheme is just not made the default.
applications="${XDG_DATA_HOME:-$HOME/.local/share}/applications"
icons="${XDG_DATA_HOME:-$HOME/.local/share}/icons/hicolor/256x256/apps"
mkdir -p "$applications" "$icons"
cp packaging/Parlevox.png "$icons/parlevox.png"
sed "s|^Exec=parlevox %u|Exec=\"$binary\" %u|" packaging/parlevox.desktop > "$applications/parlevox.desktop"
if command -v update-desktop-database >/dev/null 2>&1; then
    update-desktop-database "$applications" >/dev/null 2>&1 || true
fi
if command -v xdg-mime >/dev/null 2>&1; then
    xdg-mime default parlevox.desktop x-scheme-handler/parlevox || true
fi

exec "$binary" "$@"
