#!/usr/bin/env bash
# The plug-in dialog as a real window under Wine: a virtual X display (Xvfb), the Windows build's
# dialog_window_tests (the DLL's dialog walked control by control and held to its template), and
# the dialog's screenshot kept as a CI artefact (converted to PNG by scripts/bmp-to-png.py).
# Usage: scripts/dialog-window-test.sh [BUILD_DIR] [CTEST_REGEX]
#   BUILD_DIR    a configured Windows cross build, 32-bit (run under 32-bit Wine, which needs a
#                kernel that runs 32-bit programs) or 64-bit (default build-windows-x64); it is built
#   CTEST_REGEX  which of its tests run with the display (default DialogWindow)
# The screenshot lands in BUILD_DIR/artifacts/plugin-dialog.png (and .bmp, as the test wrote it).
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)

if [ "${1:-}" = "--in-netns" ]; then
  dir=$2 regex=$3 wine_arch=$4
  export WINEPREFIX="$dir/wine" WINEARCH="$wine_arch" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  server=wineserver
  [ "$wine_arch" = win64 ] && [ -x /usr/lib/wine/wineserver64 ] && server=/usr/lib/wine/wineserver64
  run() { bash "$here/scripts/wine-run.sh" "$@"; }
  display=":$(( 90 + $$ % 9 ))"
  Xvfb "$display" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
  xvfb=$!
  trap '"$server" -k 2>/dev/null || true; kill "$xvfb" 2>/dev/null || true' EXIT
  export DISPLAY=$display
  for _ in $(seq 50); do [ -e "/tmp/.X11-unix/X${display#:}" ] && break; sleep 0.1; done
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    run wineboot -i >/dev/null 2>&1 || true
    "$server" -w
  fi
  "$server" -p 120 || true
  run wineboot </dev/null >/dev/null 2>&1 || true
  rc=0
  (cd "$dir" && ctest --output-on-failure --timeout 300 -R "$regex") || rc=$?
  if [ -f "$dir/artifacts/plugin-dialog.bmp" ]; then
    python3 "$here/scripts/bmp-to-png.py" "$dir/artifacts/plugin-dialog.bmp" "$dir/artifacts/plugin-dialog.png" &&
      echo "screenshot: $dir/artifacts/plugin-dialog.png"
  fi
  exit "$rc"
fi

dir=$(cd "${1:-$here/build-windows-x64}" && pwd)
regex=${2:-DialogWindow}
# The build's bitness, from the toolchain it was configured with.
wine_arch=win64
grep -q '^CMAKE_TOOLCHAIN_FILE:.*i686' "$dir/CMakeCache.txt" && wine_arch=win32
sudo_cmd=""
[ "$(id -u)" -ne 0 ] && sudo_cmd=sudo
missing=()
command -v Xvfb >/dev/null || missing+=(xvfb)
command -v python3 >/dev/null || missing+=(python3)
command -v wine >/dev/null || missing+=(wine wine64)
if [ ${#missing[@]} -gt 0 ]; then
  $sudo_cmd apt-get update -qq >/dev/null 2>&1 || true
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
cmake --build "$dir" -j2 --target dialog_window_tests kvplugin
bash "$here/scripts/in-netns.sh" bash "$here/scripts/dialog-window-test.sh" --in-netns "$dir" "$regex" "$wine_arch"
