#!/usr/bin/env bash
# Validates the desktop metadata, makes the Debian package from build/ (`cpack -G DEB`), then
# installs it system-wide, starts `parlevox` from PATH under Xvfb for a fresh user, checks the
# parlevox:// handler, and removes the package again.
# Usage: scripts/package.sh [build directory, default build]   (run after scripts/setup.sh)
set -euo pipefail
cd "$(dirname "$0")/.."
build="$(realpath "${1:-build}")"
app_id=org.parlevox.Parlevox

fail() {
    echo "package: $*" >&2
    exit 1
}

# The part that runs inside the private X display, with a fresh home and nothing else inherited.
if [ "${PARLEVOX_PACKAGE_DISPLAY_CHECK:-}" = 1 ]; then
    out="$build/package"
    home=$(mktemp -d)
    runtime=$(mktemp -d)
    chmod 700 "$runtime"
    trap 'kill $(jobs -p) 2>/dev/null || true; rm -rf "$home" "$runtime"' EXIT
    fresh=(env -i HOME="$home" PATH=/usr/local/bin:/usr/bin:/bin LANG=C.UTF-8
        DISPLAY="$DISPLAY" XAUTHORITY="${XAUTHORITY:-}" XDG_RUNTIME_DIR="$runtime" TMPDIR="$runtime"
        DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent/parlevox-package-bus)

    # Prints the id of the viewable top-level window titled "Parlevox" once there is one.
    wait_for_window() {
        local id
        for _ in $(seq 1 120); do
            for id in $(xwininfo -root -children | sed -n 's/^ *\(0x[0-9a-f]*\) "Parlevox":.*/\1/p'); do
                if xwininfo -id "$id" | grep -q 'Map State: IsViewable'; then
                    echo "$id"
                    return 0
                fi
            done
            sleep 0.5
        done
        return 1
    }

    stop() {
        kill "$1" 2>/dev/null || true
        wait "$1" 2>/dev/null || true
    }

    [ "$("${fresh[@]}" sh -c 'command -v parlevox')" = /usr/bin/parlevox ] \
        || fail "parlevox is not /usr/bin/parlevox from PATH"
    "${fresh[@]}" parlevox >"$out/launch.log" 2>&1 &
    pid=$!
    window=$(wait_for_window) || { cat "$out/launch.log"; fail "no Parlevox window appeared"; }
    # Under X11 the launcher matches windows by their WM_CLASS instance.
    wm_class=$(xprop -id "$window" WM_CLASS | sed -n 's/.*= "\([^"]*\)".*/\1/p')
    startup_class=$(sed -n 's/^StartupWMClass=//p' "/usr/share/applications/$app_id.desktop")
    [ "$wm_class" = "$startup_class" ] \
        || fail "window class \"$wm_class\" does not match StartupWMClass \"$startup_class\""
    # A window that drew something: light background and dark text.
    geometry=$(xwininfo -id "$window" | awk '/Absolute upper-left X/{x=$NF} /Absolute upper-left Y/{y=$NF}
        /Width:/{w=$NF} /Height:/{h=$NF} END{print w "x" h " " x "," y}')
    for _ in $(seq 1 60); do
        ffmpeg -loglevel error -y -f x11grab -draw_mouse 0 -video_size "${geometry% *}" \
            -i "$DISPLAY+${geometry#* }" -frames:v 1 "$out/notebook.png"
        range=$(ffmpeg -loglevel error -i "$out/notebook.png" -vf signalstats,metadata=print:file=- \
            -f null - | awk -F= '/YMIN/{min=$2} /YMAX/{max=$2} END{print max - min}')
        [ "$range" -le 100 ] || break
        sleep 1
    done
    [ "$range" -gt 100 ] || fail "the Parlevox window stays blank (luma range $range)"
    stop "$pid"
    echo "window $geometry class $wm_class, screenshot $out/notebook.png"

    handler=$("${fresh[@]}" xdg-mime query default x-scheme-handler/parlevox)
    [ "$handler" = "$app_id.desktop" ] || fail "parlevox:// opens \"$handler\", not $app_id.desktop"
    # What a browser does with a link: the handler's Exec line must start Parlevox.
    "${fresh[@]}" xdg-open "parlevox://connect?server=https://equipe.example" \
        >"$out/open.log" 2>&1 &
    opener=$!
    window=$(wait_for_window) || { cat "$out/open.log"; fail "xdg-open did not start Parlevox"; }
    stop "$(xprop -id "$window" _NET_WM_PID | sed -n 's/.*= //p')"
    stop "$opener"
    echo "parlevox:// handler $handler starts Parlevox"
    exit 0
fi

echo "== Desktop metadata"
desktop-file-validate "packaging/$app_id.desktop"
appstreamcli validate --no-net --explain "packaging/$app_id.metainfo.xml"

echo "== Debian package"
cmake --build "$build" --target parlevox
rm -rf "$build/package"
(cd "$build" && cpack -G DEB >/dev/null)
deb=$(ls "$build"/package/parlevox_*.deb)
echo "$(basename "$deb") $(du -k "$deb" | cut -f1) KiB"
dpkg-deb -f "$deb" Depends Recommends

# The installed tree as the desktop and software centres will read it.
tree="$build/package/tree"
dpkg-deb -x "$deb" "$tree"
desktop_file="$tree/usr/share/applications/$app_id.desktop"
desktop-file-validate "$desktop_file"
appstreamcli validate-tree --no-net "$tree"
[ "$(sed -n 's/^Icon=//p' "$desktop_file")" = "$app_id" ] || fail "the desktop file's icon is not $app_id"
for icon in 16x16/apps/$app_id.png 22x22/apps/$app_id.png 24x24/apps/$app_id.png \
    32x32/apps/$app_id.png 48x48/apps/$app_id.png 64x64/apps/$app_id.png \
    128x128/apps/$app_id.png 256x256/apps/$app_id.png 512x512/apps/$app_id.png \
    scalable/apps/$app_id.svg symbolic/apps/$app_id-symbolic.svg; do
    [ -s "$tree/usr/share/icons/hicolor/$icon" ] || fail "the package lacks the icon $icon"
done

# Every QML module the views import must come with the package: dpkg-shlibdeps cannot see them.
depends=$(dpkg-deb -f "$deb" Depends | tr ',' '\n' | sed 's/^ *//; s/ .*//')
scanner="$(qtpaths6 --query QT_INSTALL_LIBEXECS)/qmlimportscanner"
qml="$(qtpaths6 --query QT_INSTALL_QML)"
for dir in $("$scanner" -rootPath src -importPath "$qml" | sed -n 's/^ *"path": "\(.*\)",*$/\1/p' | sort -u); do
    owner=$(dpkg -S "$dir/qmldir" 2>/dev/null | cut -d: -f1) || continue
    grep -qx "$owner" <<<"$depends" || fail "the package does not depend on $owner ($dir)"
done

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
installed_before=false
dpkg-query -W -f='${Status}' parlevox 2>/dev/null | grep -q "install ok installed" && installed_before=true
remove() {
    $sudo env DEBIAN_FRONTEND=noninteractive apt-get purge -y -o DPkg::Lock::Timeout=120 parlevox \
        >"$build/package/remove.log" 2>&1
}
trap '$installed_before || remove || true' EXIT

echo "== Install, start, remove"
$sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends \
    -o DPkg::Lock::Timeout=120 "$deb" >"$build/package/install.log" 2>&1 \
    || { cat "$build/package/install.log"; fail "apt-get install failed"; }
for path in $(dpkg-deb -c "$deb" | awk '$6 !~ /\/$/ {print substr($6, 2)}'); do
    [ -e "$path" ] || fail "$path is not installed"
done
# A private X server on a free display number (-displayfd: no race with other servers starting).
display_file="$build/package/display"
Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$display_file" 2>"$build/package/xvfb.log" &
xvfb=$!
trap 'kill $xvfb 2>/dev/null || true; $installed_before || remove || true' EXIT
for _ in $(seq 1 100); do
    [ -s "$display_file" ] && break
    sleep 0.1
done
[ -s "$display_file" ] || fail "Xvfb did not start"
DISPLAY=":$(head -n 1 "$display_file")" XAUTHORITY= PARLEVOX_PACKAGE_DISPLAY_CHECK=1 "$0" "$build"
kill $xvfb

if ! $installed_before; then
    remove || { cat "$build/package/remove.log"; fail "apt-get purge failed"; }
    trap - EXIT
    for path in $(dpkg-deb -c "$deb" | awk '$6 !~ /\/$/ {print substr($6, 2)}'); do
        [ ! -e "$path" ] || fail "$path is left after removal"
    done
    home=$(mktemp -d)
    handler=$(env -i HOME="$home" PATH=/usr/bin:/bin xdg-mime query default x-scheme-handler/parlevox)
    rm -rf "$home"
    [ -z "$handler" ] || fail "parlevox:// still opens $handler after removal"
    echo "removed cleanly"
fi
