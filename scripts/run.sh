#!/usr/bin/env bash
# Sets everything up, builds, registers the parlevox:// links for this user, then starts Parlevox.
# Arguments go to Parlevox (a parlevox:// link).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

binary="$(pwd)/build/src/app/parlevox"
app_id=org.parlevox.Parlevox

# A desktop entry for this build, so that a parlevox:// link opened in a browser reaches Parlevox.
# It has the installed package's id, so it stands in for the package while it exists.
# Harmless without xdg-mime: the entry is written, the scheme is just not made the default.
data="${XDG_DATA_HOME:-$HOME/.local/share}"
applications="$data/applications"
mkdir -p "$applications" "$data/icons"
cp -r packaging/icons/hicolor "$data/icons/"
sed "s|^Exec=parlevox %u|Exec=\"$binary\" %u|" "packaging/$app_id.desktop" >"$applications/$app_id.desktop"
# What earlier versions of this script wrote under the old name.
rm -f "$applications/parlevox.desktop" "$data/icons/hicolor/256x256/apps/parlevox.png"
if command -v update-desktop-database >/dev/null 2>&1; then
    update-desktop-database "$applications" >/dev/null 2>&1 || true
fi
if command -v xdg-mime >/dev/null 2>&1; then
    xdg-mime default "$app_id.desktop" x-scheme-handler/parlevox || true
fi

exec "$binary" "$@"
