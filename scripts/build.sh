#!/usr/bin/env bash
# Configures and builds the project, or only the named targets.
# Usage: scripts/build.sh [--sanitize address|thread] [--target NAME]...
# Prints the build folder on its last line.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
sanitize=""
targets=()
while [ $# -gt 0 ]; do
  case "$1" in
    --sanitize) sanitize="$2"; shift 2 ;;
    --target) targets+=(--target "$2"); shift 2 ;;
    *) echo "build.sh: unknown option $1" >&2; exit 2 ;;
  esac
done
dir="$here/build${sanitize:+-$sanitize}"
type="RelWithDebInfo"
[ -z "$sanitize" ] || type="Debug"
cmake -S "$here" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE="$type" -DKV_SANITIZE="$sanitize" >/dev/null
cmake --build "$dir" -j "$(nproc)" "${targets[@]}" >&2
echo "$dir"
