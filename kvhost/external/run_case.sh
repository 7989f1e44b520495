#!/usr/bin/env bash
# One end-to-end case with the simulated board as a separate process: kvboard (the CLI) on
# loopback, kvhost --board external against it, and the outcome checked from both sides, so
# that the plug-in is proven against a board that does not share kvhost's process or timing.
# Usage: run_case.sh KVHOST KVBOARD WORKDIR CASE
#   early      reports from the moment the status poll is answered; the run must end exactly
#   late       the same reports, each sent 150 ms after it was taken; the run must end exactly
#   drop       the board drops the link mid-program: E-stop, not completed, exit 4
#   silence    the board goes silent mid-program: the plug-in tells it E-stop, gives the link up
#              and says the board stalled, exit 4
#   resume     the board drops the link mid-program holding its queue, and resumes it once
#              connected again: it must end E-stopped with its queue dropped, exit 4
#   interrupt  SIGTERM to kvhost mid-program: motion stopped (E-stop), stop frame, exit 5
#              (KV_INTERRUPT_SIGNAL names another signal: INT for a Windows kvhost.exe under Wine)
#   watch      kvhost --watch with a pendant on the board: its keys' host calls are printed,
#              and the time limit ends the watch cleanly (stop frame, exit 0)
set -uo pipefail
kvhost=$1 kvboard=$2 work=$3 case=$4
rm -rf "$work" && mkdir -p "$work"
cd "$work" || exit 1

# Ports of our own, so that cases running side by side in one namespace do not meet.
seed=$(( ($$ * 7 + ${#case} * 131) % 20000 ))
disc=$(( 20000 + seed % 15000 )) plug=$(( 40000 + seed % 15000 ))

# About 1900 segments (5.7 s) at the default 3 ms period.
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
# The programmed end, in steps at kvhost's default 800 steps per mm.
want="1000,2000,2400,0,0,0"

board_args=(--discovery-port "$disc" --plugin-port "$plug" --time-limit 60)
expect_exit=0
case $case in
  early) board_args+=(--reports-from status) ;;
  late) board_args+=(--reports-from status --report-latency-ms 150) ;;
  drop) board_args+=(--fault drop@600seg --no-reconnect); expect_exit=4 ;;
  silence) board_args+=(--fault silence@600seg); expect_exit=4 ;;
  resume) board_args+=(--fault drop@600seg --resume-queue); expect_exit=4 ;;
  interrupt) expect_exit=5 ;;
  watch) board_args+=(--pendant 0,18 --pendant-key 0,19@3s --pendant-key 0,19@3.4s) ;;
  *) echo "unknown case $case"; exit 2 ;;
esac

"$kvboard" "${board_args[@]}" > board.log 2>&1 &
board_pid=$!
trap 'kill "$board_pid" 2>/dev/null; wait "$board_pid" 2>/dev/null' EXIT
for _ in $(seq 100); do grep -q "waiting for" board.log && break; sleep 0.05; done

host_args=(--board external --discovery "127.0.0.1:$disc" --listen-port "$plug" --profile profile.xml)
if [ "$case" = watch ]; then
  host_args+=(--watch --time-limit 6)
else
  host_args+=(--time-limit 50 --summary-json summary.json program.nc)
  [ "$case" = resume ] && host_args+=(--await-reconnect 10)
fi
"$kvhost" "${host_args[@]}" > host.log 2>&1 &
host_pid=$!
if [ "$case" = interrupt ]; then
  for _ in $(seq 400); do grep -q "board:" host.log && break; sleep 0.05; done
  sleep 2
  kill -"${KV_INTERRUPT_SIGNAL:-TERM}" "$host_pid"
fi
wait "$host_pid"
rc=$?
# A Windows kvhost.exe ends its lines with CR LF.
tr -d '\r' <host.log >host.log.lf && mv host.log.lf host.log
sleep 0.3
kill -INT "$board_pid" 2>/dev/null
wait "$board_pid" 2>/dev/null
trap - EXIT

fail() {
  echo "FAIL ($case): $*"
  echo "--- kvhost"; cat host.log; echo "--- kvboard"; cat board.log
  [ -f summary.json ] && { echo "--- summary.json"; cat summary.json; echo; }
  exit 1
}
field() { sed -n "s/.*\"$1\":\[\([^]]*\)\].*/\1/p" summary.json; }

[ "$rc" -eq "$expect_exit" ] || fail "kvhost exited $rc, expected $expect_exit"
if [ "$case" = watch ]; then
  grep -qx 'host: code "G0X0Y0A0B0C0"' host.log || fail "the pendant's first zero line was not printed"
  grep -qx 'host: code "G0Z0"' host.log || fail "the pendant's second zero line was not printed"
  grep -q "watch ended" host.log || fail "the watch did not end at its time limit"
  grep -q "plug-in stops 1" board.log || fail "the board did not receive the stop frame"
  echo "PASS (watch): exit $rc"
  exit 0
fi
[ -f summary.json ] || fail "no summary written"
board_end=$(sed -n 's/^  position steps \([-0-9 ]*\), mode.*/\1/p' board.log | tr ' ' ',')
if [ "$expect_exit" -eq 0 ]; then
  grep -q '"completed":true' summary.json || fail "summary does not say completed"
  [ "$(field program_end_steps)" = "$want" ] || fail "program end $(field program_end_steps), expected $want"
  [ "$(field axis_position)" = "$want" ] || fail "host axis_position $(field axis_position) is not the program end"
  [ "$board_end" = "$want" ] || fail "the board ended at $board_end, not at the program end"
  grep -q "plug-in stops 1" board.log || fail "the board did not receive the stop frame"
else
  grep -q '"completed":false' summary.json || fail "a run the board did not finish was reported completed"
  grep -q "run completed" host.log && fail "kvhost said \"run completed\""
fi
case $case in
  drop | resume)
    # The plug-in's status line may already hold a later message when kvhost reads it; kvhost then
    # says itself that the link was lost.
    grep -q "board link lost during motion: E-stop\|the board's link was lost during the run: E-stop" host.log ||
      fail "no message that the link was lost" ;;&
  resume)
    grep -q "board back after" host.log || fail "the board was not found again"
    grep -q "E-stopped yes, queue depth 0" board.log || fail "the board that came back was not stopped with its queue dropped"
    grep -Eq "dropped [1-9]" board.log || fail "the board ran the queue it held instead of dropping it"
    grep -q "enables 0" board.log || fail "the board was enabled while the host was in E-stop" ;;
  silence)
    # A stall, not a cable fault: said so by the plug-in and by kvhost, and the board told first.
    grep -q "link was lost\|link lost" host.log && fail "a stalled board was reported as a lost link"
    grep -q "board executed no segment for 2 s with [0-9]* outstanding: link closed, E-stop" host.log ||
      fail "the plug-in's status line does not name the stall"
    grep -q "the board executed no segment for 2 s with [1-9][0-9]* outstanding: the link was closed and the machine put in E-stop" host.log ||
      fail "kvhost does not name the stall"
    grep -q '"stall_closes":1' summary.json || fail "the silent board's link was not counted as given up"
    grep -Eq '"estops":[1-9]' summary.json || fail "the E-stop raised was not counted"
    grep -Eq "E-stops [1-9]" board.log || fail "the board was not told E-stop before its link was closed" ;;
  interrupt)
    grep -q "interrupted" host.log || fail "no word of the interrupt"
    grep -Eq "E-stops [1-9]" board.log || fail "the board was not stopped"
    grep -q "plug-in stops 1" board.log || fail "the board did not receive the stop frame" ;;
esac
echo "PASS ($case): exit $rc, board end ${board_end:-?}"
