#!/usr/bin/env bash
# Soak: streams a program of about N minutes from kvhost through the plug-in to kvboard running
# as a process of its own, and checks that no segment was lost (every planned segment received
# and executed, none dropped, no underrun, no link lost) and that the board ends exactly, step
# for step, at the programmed end. One hour is the full soak; CI runs five minutes.
# Usage: scripts/soak.sh [--minutes N] [--build DIR]
set -uo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
minutes=60 build="$here/build-rel"
while [ $# -gt 0 ]; do
  case "$1" in
    --minutes) minutes=$2; shift 2 ;;
    --build) build=$(cd "$2" && pwd); shift 2 ;;
    --in-netns) shift; in_netns=1 ;;
    *) echo "soak.sh: unknown option $1" >&2; exit 2 ;;
  esac
done
if [ -z "${in_netns:-}" ]; then
  bash "$here/scripts/ensure-tools.sh" "$build" || exit 1
  exec bash "$here/scripts/in-netns.sh" bash "$0" --in-netns --minutes "$minutes" --build "$build"
fi
kvhost=$build/kvhost/kvhost kvboard=$build/kvboard/kvboard
work=$build/soak
rm -rf "$work" && mkdir -p "$work" && cd "$work" || exit 1

# One lap: lines and an arc at full feed, then rapids; repeated to fill the time, then an end
# off the origin so that a lost or doubled step shows.
lap() { printf 'G1 X40 Y0 F3000\nG1 X40 Y40\nG2 X0 Y40 I-20 J0\nG1 X0 Y0 Z-0.5\nG0 Z0\n'; }
{ echo "G21 G90 G17"; for _ in $(seq 10); do lap; done; echo "M2"; } > probe.nc
lap_s=$("$kvhost" --dry-run --profile profile.xml probe.nc | sed -n 's/.*estimated run time \([0-9.]*\) s.*/\1/p')
laps=$(awk -v m="$minutes" -v t="$lap_s" 'BEGIN { n = int(m * 60 * 10 / t); print (n < 1 ? 1 : n) }')
{ echo "G21 G90 G17"; for _ in $(seq "$laps"); do lap; done; echo "G1 X12.345 Y6.789 Z-1.5 F1200"; echo "M2"; } > soak.nc
"$kvhost" --dry-run --profile profile.xml soak.nc | head -n 1

"$kvboard" --discovery-port 29170 --plugin-port 49170 --reports-from status > board.log 2>&1 &
board=$!
trap 'kill "$board" 2>/dev/null' EXIT
sleep 0.3
start=$SECONDS
"$kvhost" --board external --discovery 127.0.0.1:29170 --listen-port 49170 --profile profile.xml \
  --time-limit $((minutes * 60 * 2 + 60)) --summary-json summary.json soak.nc > host.log 2>&1
rc=$?
kill -INT "$board" 2>/dev/null; wait "$board" 2>/dev/null
trap - EXIT
wall=$((SECONDS - start))

field() { sed -n "s/.*\"$1\":\[\([^]]*\)\].*/\1/p" summary.json; }
number() { sed -n "s/.*\"$1\":\([0-9]*\).*/\1/p" summary.json; }
board_end=$(sed -n 's/^  position steps \([-0-9 ]*\), mode.*/\1/p' board.log | tr ' ' ',')
read -r received executed dropped underruns < <(sed -n \
  's/^  segments received \([0-9]*\), executed \([0-9]*\), dropped \([0-9]*\), underruns \([0-9]*\),.*/\1 \2 \3 \4/p' board.log)
planned=$(number segments_planned)
losses=$(number link_losses)
echo "soak: ${minutes} min program, ${wall} s wall, exit $rc"
echo "  segments planned ${planned:-?}, received ${received:-?}, executed ${executed:-?}, dropped ${dropped:-?}, underruns ${underruns:-?}, link losses ${losses:-?}"
echo "  program end $(field program_end_steps), host $(field axis_position), board ${board_end:-?}"
ok=1
[ "$rc" -eq 0 ] || { echo "FAIL: kvhost exited $rc"; ok=0; }
grep -q '"completed":true' summary.json || { echo "FAIL: not completed"; ok=0; }
[ -n "$planned" ] && [ "$planned" = "$received" ] && [ "$received" = "$executed" ] || { echo "FAIL: segments lost"; ok=0; }
[ "${dropped:-1}" -eq 0 ] && [ "${underruns:-1}" -eq 0 ] || { echo "FAIL: dropped or underrun segments"; ok=0; }
[ "${losses:-1}" -eq 0 ] || { echo "FAIL: the link was lost"; ok=0; }
[ "$(field program_end_steps)" = "$board_end" ] && [ "$(field axis_position)" = "$board_end" ] || { echo "FAIL: not step-exact at the end"; ok=0; }
[ "$ok" -eq 1 ] && echo "soak PASS" || { echo "logs in $work"; exit 1; }
