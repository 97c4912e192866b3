#!/usr/bin/env bash
# Sets everything up and runs the whole test suite: the regular build with every test, then a
# second build of the non-GUI tests under AddressSanitizer and UndefinedBehaviorSanitizer.
# In between, the Debian package is made, installed, started and removed (scripts/package.sh).
# Tests start what they need themselves (private sound servers, loopback servers, offscreen Qt).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

jobs=$(nproc)
echo "== Tests"
ctest --test-dir build --output-on-failure -j "$jobs"

echo "== Package: metadata, install, start under Xvfb, parlevox:// handler, removal"
scripts/package.sh build

echo "== Tests under AddressSanitizer and UndefinedBehaviorSanitizer (non-GUI)"
PARLEVOX_BUILD_DIR=build-sanitize PARLEVOX_BUILD_TYPE=Debug scripts/setup.sh \
    -DPARLEVOX_SANITIZE=ON -DPARLEVOX_BUILD_GUI=OFF -DPARLEVOX_BUILD_BENCH=OFF
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    ctest --test-dir build-sanitize --output-on-failure -j "$jobs" -LE gui

echo "== Fuzzing (bounded)"
scripts/fuzz.sh
