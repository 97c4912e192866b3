#!/usr/bin/env bash
# Renders the agent page and the integrations sheet in their main states, in the light and the
# dark appearance, under Xvfb, into screenshots/views/ for a person to look at.
# Usage: scripts/screenshots-views.sh [build directory, default build]
set -euo pipefail
cd "$(dirname "$0")/.."
build="${1:-build}"
out="$PWD/screenshots/views"

if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
fi
cmake --build "$build" --target tst_agentworkspace tst_integrationsview
mkdir -p "$out"

for test in agent/tst_agentworkspace integrations/tst_integrationsview; do
    # No session bus: the theme keeps the appearance the test sets.
    PARLEVOX_SCREENSHOTS="$out" QT_QPA_PLATFORM=xcb \
        DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent/parlevox-screenshots-bus \
        xvfb-run -a -s "-screen 0 1280x1024x24" "$build/tests/$test" screenshots
done
ls "$out"
