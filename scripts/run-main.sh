#!/usr/bin/env bash
# The main job: sets up, builds, and runs kvhost with the plug-in against the simulated board
# over loopback, inside a private network namespace, cutting the bundled contour example.
# Extra arguments replace the program and options (e.g. examples/pocket.nc, or nothing but
# --board sim to only identify the board).
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
bash "$here/scripts/setup.sh"
dir=$(bash "$here/scripts/build.sh" | tail -n 1)
mkdir -p "$here/out"
args=("$@")
[ ${#args[@]} -gt 0 ] || args=(--summary-json "$here/out/summary.json" "$here/examples/contour.nc")
bash "$here/scripts/in-netns.sh" "$dir/kvhost/kvhost" --profile "$here/out/kvhost-profile.xml" "${args[@]}"
