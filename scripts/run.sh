#!/usr/bin/env bash
# Sets everything up, then starts Parlevox. Arguments go to Parlevox (a parlevox:// link).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
exec build/src/app/parlevox "$@"
