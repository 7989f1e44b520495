#!/usr/bin/env bash
# The main job: sets up, builds, and runs kvhost with the plug-in against the simulated board
# over loopback, inside a private network namespace, cutting the bundled contour example.
# Extra arguments replace the program and options (e.g. examples/pocket.nc, or nothing but
# --board sim to only identify the board).
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
bash "$here/scripts/setup.sh"
# Only what the job runs: the host, the plug-in it loads (with the platform library) and the
# board simulator's program; the tests, fuzzers and benchmarks are the test command's.
dir=$(bash "$here/scripts/build.sh" --target kvhost --target kvplugin --target kvboard_cli | tail -n 1)
mkdir -p "$here/out"
args=("$@")
[ ${#args[@]} -gt 0 ] || args=(--summary-json "$here/out/summary.json" "$here/examples/contour.nc")
bash "$here/scripts/in-netns.sh" "$dir/kvhost/kvhost" --profile "$here/out/kvhost-profile.xml" "${args[@]}"
