#!/usr/bin/env bash
# kvhost's word against boards and files that misbehave as real ones do, with kvboard as a
# separate process where a board is involved: an exit code or "completed" is never given for
# something the machine did not do, and what was seen is said as it was seen.
# Usage: truth_cases.sh KVHOST KVBOARD WORKDIR CASE
#   posjump         the board's X report jumps by 2^31 mid-run: not completed, its own exit code
#   upgrade-same    the board comes back from an upgrade with the version it had: a failure
#   upgrade-stopped the link drops mid-image and the board stays away: the plug-in's words
#   file-changed    the program is rewritten after its check, before the run: nothing moves
#   seg-len         segment periods the stream cannot feed, and a probe feed of 1e-300: refused
#   flood           a pendant pressing keys without pause: kvhost's memory stays flat
#   dialog-port     --dialog with the listening port taken: "Listen failed" at once
#   serial          a serial number with control characters is printed escaped
#   unidentified    a board of an unknown model: said so, not "no board answered"
#   silent-peer     a peer that connects and never speaks: said so
#   profile-unsaved the settings cannot be saved: kvhost says so
set -uo pipefail
kvhost=$1 kvboard=$2 work=$3 case=$4
rm -rf "$work" && mkdir -p "$work"
cd "$work" || exit 1

seed=$(( ($$ * 13 + ${#case} * 197) % 15000 ))
disc=$(( 20000 + seed )) plug=$(( 40000 + seed ))

fail() {
  echo "FAIL ($case): $*"
  for f in host.log board.log summary.json; do [ -f "$f" ] && { echo "--- $f"; tail -c 4000 "$f"; echo; }; done
  exit 1
}

board_pid=
start_board() {
  "$kvboard" --discovery-port "$disc" --plugin-port "$plug" --time-limit 90 "$@" > board.log 2>&1 &
  board_pid=$!
  for _ in $(seq 100); do grep -q "waiting for" board.log && break; sleep 0.05; done
}
stop_board() {
  [ -n "$board_pid" ] || return 0
  kill -INT "$board_pid" 2>/dev/null
  wait "$board_pid" 2>/dev/null
  board_pid=
}
trap 'stop_board' EXIT
external=(--board external --discovery "127.0.0.1:$disc" --listen-port "$plug" --profile profile.xml)

# About 1900 segments (5.7 s) at the default 3 ms period; ends at X 1.25 Y 2.5 Z 3.
cat > program.nc <<'NC'
G21 G90 G17
G1 X10 Y5 F600
G1 X20 Y0
G2 X30 Y0 I5 J0
G1 X5 Y-4
G1 X1.25 Y2.5 Z-1
G0 Z3
M2
NC

case $case in
  posjump)
    start_board --fault posjump@600seg
    "$kvhost" "${external[@]}" --time-limit 50 --summary-json summary.json program.nc > host.log 2>&1
    rc=$?
    stop_board
    [ "$rc" -eq 6 ] || fail "exit $rc, expected 6 (the machine did not end where the program ends)"
    grep -q "run completed" host.log && fail "kvhost said \"run completed\""
    grep -q "run failed: the machine did not end where the program ends (the host's X ended at " host.log ||
      fail "no word of the end that differs"
    grep -q '"completed":false' summary.json || fail "the JSON says completed"
    grep -q '"outcome":"end_mismatch"' summary.json || fail "the JSON's outcome"
    grep -q '"end_matches":false' summary.json || fail "the JSON's end_matches"
    grep -q '^  position steps 1000 2000 2400 0 0 0, mode' board.log || fail "the board itself did not end at the program's end"
    ;;
  upgrade-same | upgrade-stopped)
    if [ "$case" = upgrade-same ]; then
      # The simulator runs the version in the image's mark: 0x0203 is the one it runs already.
      { printf 'KVFW\003\002'; head -c 94 /dev/zero | tr '\0' 'x'; } > fw.bin
      start_board
      want=6
    else
      { printf 'KVFW\005\003'; head -c 4794 /dev/zero | tr '\0' 'x'; } > fw.bin  # 100 blocks
      start_board --loader-drop 10 --no-reconnect
      want=3
    fi
    "$kvhost" "${external[@]}" --time-limit 25 --upgrade fw.bin > host.log 2>&1
    rc=$?
    stop_board
    [ "$rc" -eq "$want" ] || fail "exit $rc, expected $want"
    if [ "$case" = upgrade-same ]; then
      grep -q "kvhost: the board came back running firmware 0.0.2.3, the version it ran before" host.log ||
        fail "no word that the version did not change"
    else
      grep -q "kvhost: the upgrade did not go through: Upgrade stopped after [0-9]* of 4800 bytes" host.log ||
        fail "the plug-in's words did not reach kvhost's output"
      grep -q "did not come back identified in time" host.log && fail "the generic message instead of the plug-in's"
    fi
    ;;
  file-changed)
    # kvhost checks the program, then waits for the board; the file is rewritten meanwhile.
    "$kvhost" "${external[@]}" --time-limit 40 --summary-json summary.json program.nc > host.log 2>&1 &
    host_pid=$!
    for _ in $(seq 200); do grep -q "^plug-in:" host.log && break; sleep 0.05; done
    sed -i 's/^G0 Z3$/G0 Z-90/' program.nc
    start_board
    wait "$host_pid"
    rc=$?
    stop_board
    [ "$rc" -eq 1 ] || fail "exit $rc, expected 1"
    grep -q "program.nc: line 1: the program file changed since it was checked" host.log || fail "no word of the change"
    grep -q "segments received 0," board.log || fail "the board received segments from the changed program"
    ;;
  seg-len)
    for us in 500 1 1499 100001; do
      printf '<profile><VEX><seg_len>%s</seg_len></VEX></profile>\n' "$us" > profile.xml
      "$kvhost" --profile profile.xml --dry-run program.nc > host.log 2>&1
      rc=$?
      [ "$rc" -eq 1 ] || fail "seg_len $us: exit $rc, expected 1"
      grep -q "VEX/seg_len $us us is outside 1500..100000 us" host.log || fail "seg_len $us: the key is not named"
    done
    printf '<profile><VEX><seg_len>1500</seg_len></VEX></profile>\n' > profile.xml
    "$kvhost" --profile profile.xml --dry-run program.nc > host.log 2>&1 || fail "seg_len 1500 refused"
    grep -q "at 1.500 ms" host.log || fail "seg_len 1500 not used"
    printf '<profile><kvhost><probe_feed>1e-300</probe_feed></kvhost></profile>\n' > profile.xml
    "$kvhost" --profile profile.xml --dry-run program.nc > host.log 2>&1
    rc=$?
    [ "$rc" -eq 1 ] || fail "probe_feed 1e-300: exit $rc, expected 1"
    grep -q "kvhost/probe_feed 1e-300 units/s" host.log || fail "probe_feed: the key is not named"
    ;;
  flood)
    secs=${FLOOD_SECONDS:-20}
    # AddressSanitizer holds freed memory back in its quarantine: without one, RSS shows the heap.
    export ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}quarantine_size_mb=0"
    growth_kb=${FLOOD_GROWTH_KB:-8192}
    start_board --pendant 0,18 --pendant-flood 0,19@1s
    # Every host call is a line of output: those are left out of the log.
    ( "$kvhost" "${external[@]}" --watch --time-limit "$secs" & echo $! > host.pid; wait $!; echo $? > host.rc ) |
      grep -v '^host: ' > host.log &
    watch_job=$!
    for _ in $(seq 100); do [ -s host.pid ] && break; sleep 0.05; done
    pid=$(cat host.pid)
    rss() { sed -n 's/^VmRSS:[[:space:]]*\([0-9]*\) kB/\1/p' "/proc/$pid/status" 2>/dev/null; }
    sleep 6
    early=$(rss)
    sleep $(( secs - 8 ))
    late=$(rss)
    wait "$watch_job"
    stop_board
    [ "$(cat host.rc)" -eq 0 ] || fail "exit $(cat host.rc), expected 0"
    [ -n "$early" ] && [ -n "$late" ] || fail "no RSS read"
    echo "RSS ${early} kB at 6 s, ${late} kB at $(( secs - 2 )) s"
    [ $(( late - early )) -lt "$growth_kb" ] || fail "kvhost grew by $(( late - early )) kB under the flood"
    lines=$(sed -n 's/^host calls: .* \([0-9]*\) G-code lines.*/\1/p' host.log)
    [ "${lines:-0}" -gt 5000 ] || fail "the flood made only ${lines:-0} G-code lines"
    echo "$lines G-code lines from the pendant"
    ;;
  dialog-port)
    # Another program holds the port; each dialog command must say so at once.
    python3 -c 'import socket,sys,time; s=socket.socket(); s.bind(("",int(sys.argv[1]))); s.listen(1); print("listening", flush=True); time.sleep(60)' \
      "$plug" > squatter.log 2>&1 &
    squatter=$!
    trap 'kill $squatter 2>/dev/null; stop_board' EXIT
    for _ in $(seq 200); do grep -q listening squatter.log && break; sleep 0.05; done
    grep -q listening squatter.log || fail "the port could not be taken for the test"
    printf 'axes=3\n' > mill.xconf.cfg
    printf 'KVFW\005\003firmware' > fw.bin
    for command in --dialog "--upload-config mill.xconf.cfg" "--upgrade fw.bin"; do
      start=$(date +%s%N)
      # shellcheck disable=SC2086
      "$kvhost" "${external[@]}" $command > host.log 2>&1
      rc=$?
      took=$(( ($(date +%s%N) - start) / 1000000 ))
      [ "$rc" -eq 3 ] || fail "$command: exit $rc, expected 3"
      grep -q "(Listen failed)" host.log || fail "$command: no \"Listen failed\""
      [ "$took" -lt 8000 ] || fail "$command: took $took ms, the wait was not cut short"
    done
    ;;
  serial)
    start_board --serial $'A\e[2J\aZ'
    "$kvhost" "${external[@]}" --time-limit 15 > host.log 2>&1
    rc=$?
    stop_board
    [ "$rc" -eq 0 ] || fail "exit $rc, expected 0"
    grep -qF 'board: serial A\x1b[2J\x07Z,' host.log || fail "the serial is not printed escaped"
    [ "$(tr -d -c '\033\007' < host.log | wc -c)" -eq 0 ] || fail "control characters reached the output"
    ;;
  unidentified | silent-peer)
    if [ "$case" = unidentified ]; then start_board --model 200; else start_board --fault silence@0s; fi
    "$kvhost" "${external[@]}" --time-limit 6 > host.log 2>&1
    rc=$?
    stop_board
    [ "$rc" -eq 3 ] || fail "exit $rc, expected 3"
    grep -q "no board answered\|before a board answered" host.log && fail "\"no board answered\" said of a board that connected"
    if [ "$case" = unidentified ]; then
      grep -q "a board answered (.* frames) but could not be identified: model UNKNOW, pulse rate 0K" host.log || fail "not said what was seen"
    else
      grep -q "a peer connected (.*) but never sent a frame" host.log || fail "not said what was seen"
    fi
    ;;
  profile-unsaved)
    "$kvhost" --board sim --listen-port "$plug" --profile "$work/no-such-folder/profile.xml" > host.log 2>&1
    rc=$?
    [ "$rc" -eq 0 ] || fail "exit $rc, expected 0"
    grep -q "kvhost: the plug-in's settings were not saved: profile not saved: $work/no-such-folder/profile.xml" host.log ||
      fail "the failed save was not printed"
    ;;
  *) echo "unknown case $case"; exit 2 ;;
esac
echo "PASS ($case)"
