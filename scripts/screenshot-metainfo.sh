#!/usr/bin/env bash
# Draws the metainfo's screenshot, packaging/screenshots/notebook.png, from the current binary: the
# notebook of a first launch under Xvfb, in the size the metainfo states for it.
# Usage: scripts/screenshot-metainfo.sh [build directory, default build]
set -euo pipefail
cd "$(dirname "$0")/.."
build="${1:-build}"
metainfo=packaging/org.parlevox.Parlevox.metainfo.xml
out="$PWD/packaging/screenshots/notebook.png"

if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
fi
cmake --build "$build" --target parlevox
size=$(sed -n 's|.*<image type="source" width="\([0-9]*\)" height="\([0-9]*\)">.*/notebook.png<.*|\1x\2|p' \
    "$metainfo")
[ -n "$size" ] || { echo "no size for notebook.png in $metainfo" >&2; exit 1; }

home=$(mktemp -d)
trap 'rm -rf "$home"' EXIT
mkdir -m 0700 "$home/runtime"
# A first launch: no settings, recordings in a throw-away folder, no session bus (the light
# appearance).
XDG_CONFIG_HOME="$home/config" XDG_RUNTIME_DIR="$home/runtime" TMPDIR="$home" QT_QPA_PLATFORM=xcb \
    DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent/parlevox-screenshot-bus \
    PARLEVOX_REPORT_FIRST_FRAME=1 PARLEVOX="$PWD/$build/src/app/parlevox" OUT="$out" SIZE="$size" \
    xvfb-run -a -s "-screen 0 1400x1000x24 -nolisten tcp" bash -c '
        set -euo pipefail
        "$PARLEVOX" >"$TMPDIR/frames" & app=$!
        trap "kill $app; wait $app || true" EXIT
        for _ in $(seq 300); do
            grep -q first_frame "$TMPDIR/frames" && break
            sleep 0.1
        done
        sleep 1 # images that load asynchronously land a few frames later
        info=$(xwininfo -name Parlevox)
        field() { sed -n "s/^ *$1: *//p" <<<"$info"; }
        grabbed="$(field Width)x$(field Height)"
        if [ "$grabbed" != "$SIZE" ]; then
            echo "the notebook opens at $grabbed, the metainfo says $SIZE" >&2
            exit 1
        fi
        ffmpeg -loglevel error -y -f x11grab -draw_mouse 0 -video_size "$grabbed" \
            -i "$DISPLAY+$(field "Absolute upper-left X"),$(field "Absolute upper-left Y")" \
            -frames:v 1 "$OUT"
    '
file "$out"
