#!/usr/bin/env bash
# The main job: sets up, builds, and runs kvhost with the plug-in, inside a private network
# namespace. Extra arguments go to kvhost.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
bash "$here/scripts/setup.sh"
dir=$(bash "$here/scripts/build.sh" | tail -n 1)
mkdir -p "$here/out"
bash "$here/scripts/in-netns.sh" "$dir/kvhost/kvhost" --profile "$here/out/kvhost-profile.xml" "$@"
