#!/usr/bin/env bash
# Fault injection end to end: kvboard as a process of its own injects a fault at a random moment
# of a running program (the connection closed, reset, the board silent, no longer reading, half a
# frame and then closed), and kvhost --board external must see the run end in E-stop (exit 4,
# not completed), the plug-in find the board again, identify it and resend its parameters, and
# shut down with the stop frame, within bounds, without a crash and with as many threads as
# before the fault. One line per cycle, a table per fault at the end; exit 0 only if every cycle
# recovered.
# Usage: scripts/fault-injection.sh [--cycles N] [--jobs J] [--build DIR] [--seed S]
#   --build DIR  a build folder with kvhost and kvboard (default: build-rel, built if missing);
#                an AddressSanitizer build also checks every cycle for leaks
set -uo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cycles=100 jobs=2 build="$here/build-rel" seed=$RANDOM
while [ $# -gt 0 ]; do
  case "$1" in
    --cycles) cycles=$2; shift 2 ;;
    --jobs) jobs=$2; shift 2 ;;
    --build) build=$(cd "$2" && pwd); shift 2 ;;
    --seed) seed=$2; shift 2 ;;
    --in-netns) shift; in_netns=1 ;;
    *) echo "fault-injection.sh: unknown option $1" >&2; exit 2 ;;
  esac
done
# Everything runs inside one private network namespace with only loopback up.
if [ -z "${in_netns:-}" ]; then
  bash "$here/scripts/ensure-tools.sh" "$build" || exit 1
  exec bash "$here/scripts/in-netns.sh" bash "$0" --in-netns --cycles "$cycles" --jobs "$jobs" --build "$build" --seed "$seed"
fi

kvhost=$build/kvhost/kvhost kvboard=$build/kvboard/kvboard
work=$build/fault-injection
rm -rf "$work" && mkdir -p "$work"
export ASAN_OPTIONS="detect_leaks=1:exitcode=86"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:exitcode=87"
kinds=(drop reset silence stopread halfframe)

# About 640 segments (1.9 s) at the default 3 ms period.
cat > "$work/program.nc" <<'NC'
G21 G90 G17
G1 X8 Y4 F600
G1 X0 Y0
M2
NC

# One cycle: prints "cycle N KIND@SEGseg: PASS|FAIL detail (T s)".
run_cycle() {
  local i=$1 kind=$2 seg=$3
  local dir="$work/$i" disc=$((21000 + i)) plug=$((41000 + i))
  mkdir -p "$dir" && cd "$dir" || return 1
  local start=$SECONDS
  "$kvboard" --discovery-port "$disc" --plugin-port "$plug" --time-limit 40 --fault "$kind@${seg}seg" > board.log 2>&1 &
  local board_pid=$!
  for _ in $(seq 100); do grep -q "waiting for" board.log && break; sleep 0.05; done
  timeout 60 "$kvhost" --board external --discovery "127.0.0.1:$disc" --listen-port "$plug" --profile profile.xml \
    --time-limit 20 --await-reconnect 10 --summary-json summary.json "$work/program.nc" > host.log 2>&1
  local rc=$?
  kill -INT "$board_pid" 2>/dev/null
  wait "$board_pid" 2>/dev/null
  local took=$((SECONDS - start)) why=""
  local first last threads
  first=$(sed -n 's/.*disconnected from .*(\([0-9]*\) parameter ids.*/\1/p' board.log | head -n 1)
  last=$(sed -n 's/.*parameter records [0-9]* ([0-9]* ids, \([0-9]*\) on this connection).*/\1/p' board.log)
  threads=$(sed -n 's/.*threads \([0-9]*\) at the start of the run, \([0-9]*\) now.*/\1 \2/p' host.log)
  if [ "$rc" -ne 4 ]; then why="kvhost exited $rc, not 4"
  elif ! grep -q "link was lost during the run: E-stop\|executed no segment for 2 s with [0-9]* outstanding: the link was closed" host.log; then
    why="no message of the lost link or the stall"
  elif grep -q "run completed" host.log || ! grep -q '"completed":false' summary.json; then why="reported completed"
  elif ! grep -q "board back after" host.log; then why="the board was not found again"
  elif ! grep -q '"link_losses":[1-9]' summary.json; then why="no link loss counted"
  elif [ -z "$first" ] || [ "$first" != "$last" ] || [ "$first" -eq 0 ]; then why="parameters not all resent (${first:-?} then ${last:-?} ids)"
  elif [ -z "$threads" ] || [ "${threads% *}" != "${threads#* }" ]; then why="threads ${threads:-?} (before, after)"
  elif ! grep -q "plug-in stops 1" board.log; then why="no stop frame at shut-down"
  elif grep -q "ERROR: \(Address\|Leak\)Sanitizer\|runtime error:" host.log; then why="sanitizer report"
  fi
  local recovered
  recovered=$(sed -n 's/^board back after \([0-9.]*\) s.*/\1/p' host.log)
  if [ -z "$why" ]; then
    echo "cycle $i $kind@${seg}seg: PASS recovered in ${recovered} s (cycle ${took} s)"
  else
    echo "cycle $i $kind@${seg}seg: FAIL $why (cycle ${took} s, logs in $dir)"
  fi
}

RANDOM=$seed
echo "fault injection: $cycles cycles, $jobs at a time, seed $seed, $kvhost"
started=$SECONDS
results=$work/results.txt
: > "$results"
for ((i = 1; i <= cycles; i++)); do
  kind=${kinds[$(( (i - 1) % ${#kinds[@]} ))]}
  seg=$(( 60 + RANDOM % 420 ))
  run_cycle "$i" "$kind" "$seg" | tee -a "$results" &
  while [ "$(jobs -rp | wc -l)" -ge "$jobs" ]; do sleep 0.1; done
done
wait

echo
printf '%-10s %6s %6s %6s %22s\n' fault cycles passed failed "recovery s (min/max)"
for kind in "${kinds[@]}"; do
  awk -v k="$kind" '
    $3 ~ "^" k "@" { n++; if ($4 == "PASS") { p++; t = $7 + 0; if (min == "" || t < min) min = t; if (t > max) max = t } else f++ }
    END { printf "%-10s %6d %6d %6d %11s / %-8s\n", k, n, p, f + 0, (min == "" ? "-" : min), (max == "" ? "-" : max) }
  ' "$results"
done
total=$(wc -l < "$results")
failed=$(grep -c ': FAIL' "$results")
echo "total $total cycles, $failed failed, wall $((SECONDS - started)) s"
[ "$total" -eq "$cycles" ] && [ "$failed" -eq 0 ]
