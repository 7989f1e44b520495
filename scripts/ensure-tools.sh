#!/usr/bin/env bash
# Builds kvhost and kvboard in the given build folder (RelWithDebInfo) unless both are there.
# Usage: scripts/ensure-tools.sh BUILD_DIR
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=$1
if [ ! -x "$build/kvhost/kvhost" ] || [ ! -x "$build/kvboard/kvboard" ]; then
  cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build "$build" -j 2 --target kvhost kvboard_cli kvplugin >&2
fi
