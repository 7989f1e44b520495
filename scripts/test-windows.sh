#!/usr/bin/env bash
# The Windows stage: installs the cross compiler and Wine from Debian's packages where missing,
# cross-builds every 32-bit target (the product: Kalvero.dll, kvhost.exe and the tests) and checks
# the DLL's export table, then runs the Windows unit and integration tests under Wine, kvhost.exe
# with a bundled program against the Linux kvboard to the program's exact end (over Ethernet,
# over USB, and a firmware upgrade), the cases with kvboard as a process of its own (reports early
# and late, the link dropped, silenced and interrupted mid-program) and the dialog as a real
# window. Everything that runs Wine runs inside a private network namespace with only loopback up
# (Wine's server, which owns the sockets, included).
#
# Which build runs is decided by running a 32-bit Windows program (kvhost.exe --help) under Wine.
# Where that works, everything runs on the 32-bit build (build-windows/), the product. Where the
# kernel runs no 32-bit programs (IA-32 emulation off), neither can Wine: the 32-bit targets are
# still all built and the DLL's export table checked, and the tests run on a 64-bit build of the
# same sources (build-windows-x64/) under 64-bit Wine.
# Usage: scripts/test-windows.sh [--arch i686|x86_64] [--program FILE] [--install-only]
#   --arch   skips the probe and runs the tests on that build
#   --install-only  installs what the stage needs (Wine, the cross compilers) and stops
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
program="$here/examples/pocket.nc"
arch=""
install_only=""

# --- inside the namespace: Wine's prefix, the tests, the session --------------------------------
if [ "${1:-}" = "--in-netns" ]; then
  dir="$2" wine_arch="$3" linux_dir="$4" program="$5"
  export WINEPREFIX="$dir/wine" WINEARCH="$wine_arch" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  server=wineserver
  [ "$wine_arch" = win64 ] && [ -x /usr/lib/wine/wineserver64 ] && server=/usr/lib/wine/wineserver64
  run() { bash "$here/scripts/wine-run.sh" "$@"; }
  trap '"$server" -k 2>/dev/null || true' EXIT
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "== creating the Wine prefix $WINEPREFIX"
    run wineboot -i >/dev/null 2>&1 || true
    "$server" -w  # the prefix's first server lingers; the persistent one below replaces it
  fi
  # One server for every test process: starting Wine once per case stays cheap.
  "$server" -p 120 || true  # refused only when a server already runs, which serves as well
  # Wine's services start with the first program and outlive it: start them here, away from the
  # pipes ctest reads, or ctest would wait for them to close.
  run wineboot </dev/null >/dev/null 2>&1 || true

  echo "== Windows tests under Wine ($wine_arch)"
  # Left out: cases that start POSIX programs or shell command lines (kvhost's dry-run cases, the
  # kvboard-process cases, the guard's re-run of its own binary) and the loader case that loads
  # the Linux platform library as a library without entry points.
  posix_only='^(KvhostDryRun\.|ExternalBoard\.|DialogCommands\.|KvhostBadInput\.|KvhostTruth\.|KvhostMillWords\.|PluginLoader\.AMissingExportIsNamed$|LoopbackGuard\.FailsATestThatStartsThePluginWithoutEndpoints$)'
  tests_rc=0
  if [ "${KV_WINE_SESSION_ONLY:-}" != 1 ]; then
    # One more at a time than there are processors: most cases wait on the simulated board's
    # clock, and with one per processor the processors stood idle a third of the stage.
    (cd "$dir" && ctest --output-on-failure -j "${KV_WINE_JOBS:-$(( $(nproc) + 1 ))}" --timeout 300 -E "$posix_only") || tests_rc=$?
  fi

  echo "== Wine session: kvhost.exe against the Linux kvboard over loopback"
  out="$dir/wine-session"
  rm -rf "$out" && mkdir -p "$out"
  discovery_port=19390 listen_port=19391
  "$linux_dir/kvboard/kvboard" --discovery-port "$discovery_port" --plugin-port "$listen_port" --time-limit 300 \
    >"$out/kvboard.txt" 2>&1 &
  board=$!
  rc=0
  run "$dir/kvhost/kvhost.exe" --plugin "$dir/plugin/Kalvero.dll" --profile "$out/profile.xml" --board external \
    --discovery "127.0.0.1:$discovery_port" --listen-port "$listen_port" --time-limit 240 \
    --summary-json "$out/summary.json" "$program" >"$out/kvhost.txt" 2>&1 || rc=$?
  kill -INT "$board" 2>/dev/null || true
  wait "$board" || true
  tr -d '\r' <"$out/kvhost.txt"
  cat "$out/kvboard.txt"
  [ "$rc" -eq 0 ] || { echo "kvhost.exe exited $rc" >&2; exit 1; }
  python3 - "$out/summary.json" "$out/kvboard.txt" <<'PY'
import json, re, sys
summary = json.load(open(sys.argv[1]))
board = open(sys.argv[2]).read()
def number(pattern):
    m = re.search(pattern, board)
    if not m:
        sys.exit("kvboard summary lacks " + pattern)
    return m.group(1)
board_end = [int(v) for v in number(r"position steps ((?:-?\d+ ){5}-?\d+)").split()]
program_end = summary["program_end_steps"]
host_end = summary["axis_position"]
failures = []
if not summary.get("completed"):
    failures.append("the run did not complete")
if not (board_end == program_end == host_end):
    failures.append(f"ends differ: board {board_end}, programmed {program_end}, host {host_end}")
if int(number(r"underruns (\d+)")) != 0:
    failures.append("the board ran out of segments")
if int(number(r"identification requests (\d+)")) < 1:
    failures.append("the plug-in never identified the board")
if int(number(r"plug-in stops (\d+)")) < 1:
    failures.append("the board did not receive the stop frame")
if failures:
    sys.exit("Wine session: " + "; ".join(failures))
print(f"Wine session: board end = programmed end = host position {board_end}, no underruns, stop frame received")
PY

  echo "== Wine session over USB: kvhost.exe with the simulated board as a HID device"
  rc=0
  run "$dir/kvhost/kvhost.exe" --plugin "$dir/plugin/Kalvero.dll" --profile "$out/profile-usb.xml" --board sim \
    --link usb --time-limit 240 --summary-json "$out/summary-usb.json" "$program" >"$out/kvhost-usb.txt" 2>&1 || rc=$?
  tr -d '\r' <"$out/kvhost-usb.txt"
  [ "$rc" -eq 0 ] || { echo "kvhost.exe --link usb exited $rc" >&2; exit 1; }
  python3 - "$out/summary-usb.json" <<'PY'
import json, sys
s = json.load(open(sys.argv[1]))
failures = []
if not s.get("completed"):
    failures.append("the run did not complete")
if s.get("link") != "usb":
    failures.append(f"the link was {s.get('link')}")
if not (s["board_end_steps"] == s["program_end_steps"] == s["axis_position"]):
    failures.append(f"ends differ: board {s['board_end_steps']}, programmed {s['program_end_steps']}, host {s['axis_position']}")
if s.get("underruns") != 0:
    failures.append("the board ran out of segments")
if failures:
    sys.exit("Wine USB session: " + "; ".join(failures))
print(f"Wine USB session: board end = programmed end = host position {s['board_end_steps']}, no underruns")
PY

  echo "== Wine firmware upgrade: kvhost.exe --upgrade with a 100-byte image on the simulated board"
  python3 -c "import sys; open(sys.argv[1], 'wb').write(b'KVFW\x05\x00' + bytes(range(94)))" "$out/firmware.bin"
  rc=0
  run "$dir/kvhost/kvhost.exe" --plugin "$dir/plugin/Kalvero.dll" --profile "$out/profile-upgrade.xml" --board sim \
    --time-limit 120 --upgrade "$out/firmware.bin" >"$out/kvhost-upgrade.txt" 2>&1 || rc=$?
  tr -d '\r' <"$out/kvhost-upgrade.txt"
  [ "$rc" -eq 0 ] || { echo "kvhost.exe --upgrade exited $rc" >&2; exit 1; }
  tr -d '\r' <"$out/kvhost-upgrade.txt" | grep -q "^board back: .*firmware 0\.0\.0\.5" ||
    { echo "Wine firmware upgrade: the board did not come back with the new firmware" >&2; exit 1; }
  echo "Wine firmware upgrade: the board came back identified with firmware 0.0.0.5"

  echo "== kvhost.exe under Wine against kvboard as a process of its own"
  # The Linux cases' own script, with kvhost.exe and its DLL standing in for kvhost.
  host="$out/kvhost-wine.sh"
  printf '#!/bin/sh\nexec bash "%s/scripts/wine-run.sh" "%s/kvhost/kvhost.exe" --plugin "%s/plugin/Kalvero.dll" "$@"\n' \
    "$here" "$dir" "$dir" >"$host"
  chmod +x "$host"
  external_rc=0
  for case in early late drop silence interrupt; do
    # A Windows console program hears Ctrl-C, not SIGTERM: Wine ends the process at a SIGTERM.
    KV_INTERRUPT_SIGNAL=INT bash "$here/kvhost/external/run_case.sh" "$host" "$linux_dir/kvboard/kvboard" \
      "$out/external/$case" "$case" || external_rc=1
  done
  [ "$tests_rc" -eq 0 ] || { echo "Windows tests failed under Wine" >&2; exit 1; }
  [ "$external_rc" -eq 0 ] || { echo "kvhost.exe against kvboard as a process: a case failed" >&2; exit 1; }
  exit 0
fi

# --- inside a namespace: can this machine run a 32-bit Windows program? ---------------------------
if [ "${1:-}" = "--probe-in-netns" ]; then
  dir="$2"
  export WINEPREFIX="$dir/wine" WINEARCH=win32 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  rc=0
  output=$(timeout 600 bash "$here/scripts/wine-run.sh" "$dir/kvhost/kvhost.exe" --help 2>&1) || rc=$?
  # No server of this namespace may outlive it: the stage's own starts in its namespace. Waiting
  # for it lets a prefix that the first run created be saved whole.
  timeout 120 wineserver -w 2>/dev/null || wineserver -k 2>/dev/null || true
  if [ "$rc" -eq 0 ] && printf '%s' "$output" | grep -q "usage: kvhost"; then exit 0; fi
  printf '%s\n' "$output" | tail -n 3 >&2
  exit 1
fi

while [ $# -gt 0 ]; do
  case "$1" in
    --arch) arch="$2"; shift 2 ;;
    --program) program=$(cd "$(dirname "$2")" && pwd)/$(basename "$2"); shift 2 ;;
    --install-only) install_only=1; shift ;;
    *) echo "test-windows.sh: unknown option $1" >&2; exit 2 ;;
  esac
done

# --- packages -----------------------------------------------------------------------------------
sudo_cmd=""
[ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }
apt_install() {
  # -t bookworm keeps both architectures on one release where a mirror's update index lags.
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq --no-install-recommends "$@" >/dev/null 2>&1 ||
    DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq --no-install-recommends -t bookworm "$@" >/dev/null
}
wanted=()
for p in wine wine64 python3 iproute2 util-linux; do installed "$p" || wanted+=("$p"); done
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  $sudo_cmd dpkg --add-architecture i386
  wanted+=(update)
fi
installed wine32:i386 || wanted+=(wine32:i386)
if [ ${#wanted[@]} -gt 0 ]; then
  echo "installing: ${wanted[*]}" >&2
  $sudo_cmd apt-get update -qq >/dev/null 2>&1 || true
  packages=()
  for p in "${wanted[@]}"; do [ "$p" = update ] || [ "$p" = wine32:i386 ] || packages+=("$p"); done
  [ ${#packages[@]} -eq 0 ] || apt_install "${packages[@]}"
  installed wine32:i386 || apt_install wine32:i386 || echo "note: wine32 could not be installed" >&2
fi

if [ -n "$install_only" ]; then
  bash "$here/scripts/build-windows.sh" --install-only
  bash "$here/scripts/build-windows.sh" --arch x86_64 --install-only
  exit 0
fi

# --- builds ---------------------------------------------------------------------------------------
started=$(date +%s)
echo "== every 32-bit target: Kalvero.dll, kvhost.exe and the tests"
dir32=$(bash "$here/scripts/build-windows.sh" | tail -n 1)
cmake --build "$dir32" --target kvplugin_check_exports
# The board simulator the sessions talk to is the Linux one.
bash "$here/scripts/setup.sh"  # what the Linux build needs
linux_dir="$here/build"  # the plain build of scripts/build.sh, as configured there
cmake -S "$here" -B "$linux_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKV_SANITIZE= >/dev/null
cmake --build "$linux_dir" -j 2 --target kvboard_cli >&2

# --- which Wine runs here: a 32-bit Windows program tried ----------------------------------------
if [ -z "$arch" ]; then
  if bash "$here/scripts/in-netns.sh" bash "$here/scripts/test-windows.sh" --probe-in-netns "$dir32"; then
    echo "32-bit Windows programs run here (kvhost.exe --help under 32-bit Wine): the tests run on the 32-bit build"
    arch=i686
  else
    echo "note: this machine runs no 32-bit Windows program (kvhost.exe --help under 32-bit Wine failed; the kernel" \
      "runs no 32-bit programs): every 32-bit target was built and the DLL's exports checked, and the tests run" \
      "on the 64-bit build of the same sources" >&2
    arch=x86_64
  fi
fi
if [ "$arch" = i686 ]; then
  dir=$dir32
  wine_arch=win32
else
  dir=$(bash "$here/scripts/build-windows.sh" --arch x86_64 | tail -n 1)
  wine_arch=win64
fi
echo "builds: $(( $(date +%s) - started )) s"

bash "$here/scripts/in-netns.sh" bash "$here/scripts/test-windows.sh" --in-netns "$dir" "$wine_arch" "$linux_dir" "$program"
# The plug-in dialog as a real window on a virtual display, with its screenshot.
bash "$here/scripts/dialog-window-test.sh" "$dir"
if [ "$arch" = i686 ]; then
  echo "Windows stage: the 32-bit build (the product) tested under 32-bit Wine, $(( $(date +%s) - started )) s"
else
  echo "Windows stage: the 64-bit build tested under 64-bit Wine, the 32-bit build built and its exports checked," \
    "$(( $(date +%s) - started )) s"
fi
