#!/usr/bin/env bash
# kvhost's dialog commands as a user runs them, each case checked by its exit code and output:
# --dialog, --upload-config (taken, refused), --upgrade over Ethernet and USB (taken, refused),
# and a board sitting in its loader (kvboard --loader) with and without an image to give it; files
# that are no configuration file, or no file at all (a device, a pipe), or far too large.
# Usage: dialog_commands.sh KVHOST KVBOARD WORKDIR CASE
set -uo pipefail
kvhost=$1 kvboard=$2 work=$3 case=$4
rm -rf "$work" && mkdir -p "$work"
cd "$work" || exit 1

seed=$(( ($$ * 11 + ${#case} * 173) % 15000 ))
disc=$(( 20000 + seed )) plug=$(( 40000 + seed ))

# A firmware image with the simulator's version mark (0x0305), 100 bytes: three blocks.
{ printf 'KVFW\005\003'; head -c 94 /dev/zero | tr '\0' 'x'; } > fw.bin
: > empty.bin
printf 'axes=3\n' > mill.xconf.cfg
head -c 300 /dev/zero | tr '\0' 'c' > big.xconf.cfg
mkdir -p cfg && printf 'axes=3\n' > cfg/noname.cfg
printf 'axes=3\n' > cfg/mill.xconf.bin

fail() { echo "FAIL ($case): $*"; echo "--- kvhost"; cat host.log; [ -f board.log ] && { echo "--- kvboard"; cat board.log; }; exit 1; }

sim=(--board sim --listen-port "$plug" --profile profile.xml)
expect=0 external=0 board_args=()
case $case in
  dialog) args=("${sim[@]}" --dialog) ;;
  config) args=("${sim[@]}" --upload-config mill.xconf.cfg) ;;
  config-refused) args=("${sim[@]}" --upload-config big.xconf.cfg); expect=1 ;;
  upgrade) args=("${sim[@]}" --upgrade fw.bin) ;;
  upgrade-usb) args=("${sim[@]}" --link usb --upgrade fw.bin) ;;
  upgrade-refused) args=("${sim[@]}" --upgrade empty.bin); expect=1 ;;
  loader-no-image) external=1; board_args=(--loader); args=(); expect=3 ;;
  loader-upgrade) external=1; board_args=(--loader); args=(--upgrade fw.bin) ;;
  config-not-xconf) args=("${sim[@]}" --upload-config cfg/noname.cfg); expect=1 ;;
  upgrade-xconf) args=("${sim[@]}" --upgrade cfg/mill.xconf.bin); expect=1 ;;
  # 3 GiB, sparse, under a memory limit a whole read cannot fit in (sanitizers need their room).
  upgrade-huge) truncate -s 3G huge.bin; args=("${sim[@]}" --upgrade huge.bin); expect=1
    [ -n "${KV_NO_MEMORY_LIMIT:-}" ] || ulimit -v 2000000 ;;
  upgrade-zero) args=("${sim[@]}" --upgrade /dev/zero); expect=1 ;;
  upgrade-fifo) mkfifo fw.fifo.bin; args=("${sim[@]}" --upgrade fw.fifo.bin); expect=1 ;;
  config-fifo) mkfifo pipe.xconf.cfg; args=("${sim[@]}" --upload-config pipe.xconf.cfg); expect=1 ;;
  *) echo "unknown case $case"; exit 2 ;;
esac

if [ "$external" = 1 ]; then
  "$kvboard" --discovery-port "$disc" --plugin-port "$plug" --time-limit 60 "${board_args[@]}" > board.log 2>&1 &
  board_pid=$!
  trap 'kill "$board_pid" 2>/dev/null; wait "$board_pid" 2>/dev/null' EXIT
  for _ in $(seq 100); do grep -q "waiting for" board.log && break; sleep 0.05; done
  args=(--board external --discovery "127.0.0.1:$disc" --listen-port "$plug" --profile profile.xml "${args[@]}")
fi
# Bounded: a host that hangs on a file fails here instead of at the test's time-out.
timeout -s KILL 60 "$kvhost" "${args[@]}" > host.log 2>&1
rc=$?
[ "$rc" = "$expect" ] || fail "exit $rc, expected $expect"

case $case in
  dialog)
    grep -q '^ 4164 label .*"Kv serious"' host.log || fail "series line"
    grep -q '^    - label .*"Serial No:"' host.log || fail "a label of the template"
    grep -q '^ 4199 check .*\[ \] "KV-MPG"' host.log || fail "KV-MPG unchecked"
    grep -q '^ 4203 check .*\[x\] "Standard-MPG"' host.log || fail "Standard-MPG checked"
    grep -q '^ 4163 progress .* 0% .*at 196, 86 size  88x11' host.log || fail "progress bar"
    [ "$(grep -c '^ *[-0-9]* [a-z>]* ' host.log)" -ge 21 ] || fail "one line per control" ;;
  config)
    grep -q 'configuration mill.xconf.cfg (7 bytes) uploaded to the board in one frame' host.log || fail "no upload line"
    grep -q 'board back' host.log || fail "no reconnect" ;;
  config-refused|upgrade-refused) grep -q 'refused' host.log || fail "no refusal" ;;
  upgrade|upgrade-usb|loader-upgrade) grep -q 'board back: .*firmware 0.0.3.5' host.log || fail "new version not shown" ;;
  loader-no-image) grep -q 'firmware loader and no image was given' host.log || fail "loader not reported" ;;
  config-not-xconf)
    grep -q 'not a configuration file, whose path must contain "xconf."' host.log || fail "no reason given"
    grep -q 'board back' host.log && fail "the board was reconnected: something was sent" ;;
  upgrade-xconf)
    grep -q 'is a configuration file to the plug-in' host.log || fail "no reason given"
    grep -q 'board back' host.log && fail "the board was reconnected: something was sent" ;;
  upgrade-huge) grep -q 'has 3221225472 bytes, more than the 16777216' host.log || fail "size not refused" ;;
  upgrade-zero) grep -q '/dev/zero is a device, not a file' host.log || fail "device not refused" ;;
  upgrade-fifo) grep -q 'fw.fifo.bin is a pipe, not a file' host.log || fail "pipe not refused" ;;
  config-fifo) grep -q 'pipe.xconf.cfg is a pipe, not a file' host.log || fail "pipe not refused" ;;
esac
echo "ok ($case)"
