#!/usr/bin/env bash
# kvhost given bad input must refuse it at once or stop at its bounds, never hang, crash or
# overwrite. Usage: bad_input.sh KVHOST WORKDIR CASE
#   folder       a folder given as the program: bad input (exit 1)
#   huge_word    a word of a megabyte: bad input, the message quoting only a piece of it
#   slow_move    G1 X1 F0.000001 (years of motion) stops at --time-limit (exit 3), not completed
#   summary_over --summary-json naming the program or the profile: usage error, both untouched
#   port_in_use  the plug-in's listening port taken: "Listen failed" reported at once (exit 3)
#   big_program  a program of BIG_PROGRAM_MB megabytes (default 40) is summarised and run in the
#                memory a program of a few lines takes, not in memory that grows with the file
set -uo pipefail
kvhost=$1 work=$2 case=$3
rm -rf "$work" && mkdir -p "$work" && cd "$work" || exit 1
fail() { echo "FAIL ($case): $*"; echo "--- output"; cat out.log 2>/dev/null; exit 1; }
port=$(( 30000 + ($$ % 9000) ))
start=$SECONDS
case $case in
  folder)
    mkdir prog.nc
    "$kvhost" --dry-run prog.nc > out.log 2>&1; rc=$?
    [ "$rc" -eq 1 ] || fail "exit $rc, expected 1"
    grep -q "is a folder" out.log || fail "no word of the folder" ;;
  huge_word)
    { printf 'G21\nG1 X'; head -c 1048576 /dev/zero | tr '\0' 7; printf 'Q\n'; } > big.nc
    "$kvhost" --dry-run big.nc > out.log 2>&1; rc=$?
    [ "$rc" -eq 1 ] || fail "exit $rc, expected 1"
    [ "$(wc -c < out.log)" -lt 300 ] || fail "a message of $(wc -c < out.log) bytes" ;;
  slow_move)
    printf 'G21 G90\nG1 X1 F0.000001\nM2\n' > slow.nc
    timeout 60 "$kvhost" --listen-port "$port" --profile profile.xml --time-limit 4 --summary-json s.json slow.nc \
      > out.log 2>&1; rc=$?
    [ "$rc" -eq 3 ] || fail "exit $rc, expected 3"
    [ $((SECONDS - start)) -lt 30 ] || fail "took $((SECONDS - start)) s for a 4 s limit"
    grep -q '"completed":false' s.json || fail "reported completed"
    grep -q "run timed out" out.log || fail "no word of the time limit" ;;
  summary_over)
    printf 'G21\nG1 X1 F100\nM2\n' > p.nc
    cp p.nc p.orig
    "$kvhost" --dry-run --summary-json p.nc p.nc > out.log 2>&1; rc=$?
    [ "$rc" -eq 2 ] || fail "exit $rc over the program, expected 2"
    cmp -s p.nc p.orig || fail "the program was overwritten"
    printf '<profile/>\n' > pr.xml
    "$kvhost" --dry-run --profile ./pr.xml --summary-json "$PWD/pr.xml" p.nc > out.log 2>&1; rc=$?
    [ "$rc" -eq 2 ] || fail "exit $rc over the profile, expected 2"
    [ "$(cat pr.xml)" = "<profile/>" ] || fail "the profile was overwritten" ;;
  port_in_use)
    python3 -c 'import socket,sys,time; s=socket.socket(); s.bind(("",int(sys.argv[1]))); s.listen(1); print("listening", flush=True); time.sleep(30)' \
      "$port" > squatter.log 2>&1 & squatter=$!
    trap 'kill $squatter 2>/dev/null' EXIT
    for _ in $(seq 200); do grep -q listening squatter.log && break; sleep 0.05; done
    grep -q listening squatter.log || fail "the port could not be taken for the test"
    timeout 60 "$kvhost" --listen-port "$port" --profile profile.xml > out.log 2>&1; rc=$?
    [ "$rc" -eq 3 ] || fail "exit $rc, expected 3"
    grep -q "Listen failed" out.log || fail "no \"Listen failed\""
    [ $((SECONDS - start)) -lt 8 ] || fail "reported after $((SECONDS - start)) s, not at once" ;;
  big_program)
    mb=${BIG_PROGRAM_MB:-40}
    python3 - "$mb" <<'PY'
import sys
lap = "G1 X40 Y0 F3000\nG1 X40 Y40\nG2 X0 Y40 I-20 J0\nG1 X0 Y0 Z-0.5\nG0 Z0\n"
with open("big.nc", "w") as f:
    f.write("G21 G90 G17\n")
    for _ in range(int(sys.argv[1]) * 1024 * 1024 // (len(lap) * 1000) + 1):
        f.write(lap * 1000)
    f.write("G1 X12.345 Y6.789 Z-1.5 F1200\nM2\n")
with open("small.nc", "w") as f:
    f.write("G21 G90 G17\n" + lap + "G1 X12.345 Y6.789 Z-1.5 F1200\nM2\n")
PY
    # The largest resident size of one kvhost run, in KiB, with its exit code.
    rss() {
      python3 -c 'import resource, subprocess, sys
rc = subprocess.run(sys.argv[1:], stdout=open("out.log", "a"), stderr=subprocess.STDOUT).returncode
print(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss, rc)' "$@"
    }
    read -r small_dry rc < <(rss "$kvhost" --dry-run --profile profile.xml small.nc)
    [ "$rc" -eq 0 ] || fail "the small program's dry run exited $rc"
    read -r big_dry rc < <(rss "$kvhost" --dry-run --profile profile.xml big.nc)
    [ "$rc" -eq 0 ] || fail "the big program's dry run exited $rc"
    grep -q "X end      12.3450" out.log || fail "the big program's summary does not end at its last move"
    # A run against the simulated board, stopped by the time limit once streaming is under way.
    read -r small_run rc < <(rss "$kvhost" --listen-port "$port" --profile profile.xml --time-limit 3 small.nc)
    read -r big_run rc < <(rss "$kvhost" --listen-port "$port" --profile profile.xml --time-limit 6 big.nc)
    [ "$rc" -eq 3 ] || fail "the big program's run exited $rc, expected 3 at the time limit"
    grep -q "run timed out" out.log || fail "the big program's run did not stream until the time limit"
    echo "measured: ${mb} MB program: dry run ${big_dry} KiB (a few lines: ${small_dry} KiB), run ${big_run} KiB (${small_run} KiB)"
    [ $((big_dry - small_dry)) -lt 16384 ] || fail "the dry run took $((big_dry - small_dry)) KiB more for the big program"
    [ $((big_run - small_run)) -lt 16384 ] || fail "the run took $((big_run - small_run)) KiB more for the big program" ;;
  *) echo "unknown case $case"; exit 2 ;;
esac
echo "PASS ($case): $((SECONDS - start)) s"
