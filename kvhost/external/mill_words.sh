#!/usr/bin/env bash
# kvhost running the words of mill post-processors end to end, with the simulated board:
# offsets kept in the profile only after a run that ran whole, pauses refused off a terminal,
# coolant without an output said and passed over.
# Usage: mill_words.sh KVHOST WORKDIR CASE
#   offsets        G10 and G92 in a run that completes: written to the section kvhost, nothing
#                  else of the profile changed; the next plan starts from them
#   offsets-failed the same program in a run that fails part way: the profile keeps its offsets
#   pauses         M0 with no terminal: refused before anything moves; --skip-pauses runs it
#   coolant        M7/M8 without an output pin: said once each, ignored, the run completes
set -uo pipefail
kvhost=$1 work=$2 case=$3
rm -rf "$work" && mkdir -p "$work"
cd "$work" || exit 1

seed=$(( ($$ * 11 + ${#case} * 173) % 15000 ))
plug=$(( 40000 + seed ))

fail() {
  echo "FAIL ($case): $*"
  for f in host.log dry.log profile.xml; do [ -f "$f" ] && { echo "--- $f"; tail -c 4000 "$f"; echo; }; done
  exit 1
}

# A profile with the user's own set-up around kvhost's section: all of it must survive.
cat > profile.xml <<'XML'
<?xml version="1.0" encoding="UTF-8"?>
<!-- the user's machine -->
<profile>
  <Preferences units="mm"><Name>mill &amp; lathe</Name></Preferences>
  <VEX><seg_len>3000</seg_len><mpg_src>0</mpg_src><lim_buffer>450</lim_buffer><backlash_pos0>0</backlash_pos0><backlash_pos1>0</backlash_pos1><backlash_pos2>0</backlash_pos2><backlash_pos3>0</backlash_pos3><backlash_pos4>0</backlash_pos4><backlash_pos5>0</backlash_pos5></VEX>
  <kvhost>
    <work_offset_g54_x>1.5</work_offset_g54_x>
  </kvhost>
</profile>
XML
outside() { sed -e '/<kvhost>/,/<\/kvhost>/d' -e '/<VEX>/d' "$1"; }
outside profile.xml > outside.before

# G54 X becomes 3 (L2), G55 Y is measured at machine Y 2 as 0.5 (L20: 1.5), and machine X 4 is
# called X5 in G54 (G92: 4 - 3 - 5 = -4).
cat > offsets.nc <<'NC'
G21 G90
G10 L2 P1 X3
G0 X1
G55 G0 Y2
G10 L20 P2 Y0.5
G54 G92 X5
G0 X2
M30
NC
case $case in
  offsets)
    "$kvhost" --board sim --listen-port "$plug" --profile profile.xml offsets.nc > host.log 2>&1
    rc=$?
    [ "$rc" -eq 0 ] || fail "exit $rc, expected 0"
    grep -q "work offsets the program set saved in profile.xml" host.log || fail "the save was not said"
    grep -q "<work_offset_g54_x>3</work_offset_g54_x>" profile.xml || fail "G54 X not kept"
    grep -q "<work_offset_g55_y>1.5</work_offset_g55_y>" profile.xml || fail "G55 Y not kept"
    grep -q "<g92_offset_x>-4</g92_offset_x>" profile.xml || fail "the G92 shift not kept"
    outside profile.xml > outside.after
    cmp -s outside.before outside.after || fail "the profile changed outside its sections: $(diff outside.before outside.after)"
    # The next run starts from them: G54 X0 is machine 3 - 4 = -1, -800 steps; Y0 is machine 0.
    printf 'G0 X0 Y0\nM30\n' > next.nc
    "$kvhost" --dry-run --profile profile.xml next.nc > dry.log 2>&1 || fail "the next plan failed"
    grep -Eq "X end +-1.0000 units +-800 steps" dry.log || fail "the next plan did not start from the kept offsets"
    ;;
  offsets-failed)
    cp profile.xml profile.before
    printf 'G10 L2 P1 X3\nG92 X5\nG1 X400 F60\nM30\n' > long.nc
    "$kvhost" --board sim --listen-port "$plug" --profile profile.xml --time-limit 4 long.nc > host.log 2>&1
    rc=$?
    [ "$rc" -eq 3 ] || fail "exit $rc, expected 3 (time limit)"
    grep -q "work offsets the program set saved" host.log && fail "offsets were saved after a failed run"
    diff <(sed -n '/<kvhost>/,/<\/kvhost>/p' profile.before) <(sed -n '/<kvhost>/,/<\/kvhost>/p' profile.xml) > /dev/null ||
      fail "the section kvhost changed after a failed run"
    ;;
  pauses)
    printf 'G0 X1\nM0\nG0 X2\nM1\nM30\n' > pause.nc
    cp profile.xml profile.before
    "$kvhost" --board sim --listen-port "$plug" --profile profile.xml pause.nc < /dev/null > host.log 2>&1
    rc=$?
    [ "$rc" -eq 1 ] || fail "exit $rc, expected 1"
    grep -q "line 2: M0 waits for the operator's Enter and kvhost's input is not a terminal" host.log ||
      fail "the refusal did not name the line and the word"
    grep -q "plug-in:" host.log && fail "the plug-in was started for a program that was refused"
    "$kvhost" --board sim --listen-port "$plug" --profile profile.xml --skip-pauses pause.nc < /dev/null > host.log 2>&1
    rc=$?
    [ "$rc" -eq 0 ] || fail "exit $rc with --skip-pauses, expected 0"
    grep -q "line 2: M0 passed over" host.log || fail "M0 was not said to be passed over"
    grep -q "line 4: M1 passed over" host.log || fail "M1 was not said to be passed over"
    ;;
  coolant)
    printf 'M8\nG0 X1\nM7\nG0 X2\nM9\nM8\nG0 X3\nM30\n' > coolant.nc
    "$kvhost" --board sim --listen-port "$plug" --profile profile.xml coolant.nc > host.log 2>&1
    rc=$?
    [ "$rc" -eq 0 ] || fail "exit $rc, expected 0"
    [ "$(grep -c 'M8 flood coolant has no output pin (kvhost/flood_output_pin); ignored' host.log)" -eq 1 ] ||
      fail "M8 without an output was not said exactly once"
    grep -q "line 3: M7 mist coolant has no output pin (kvhost/mist_output_pin); ignored" host.log ||
      fail "M7 without an output was not said"
    ;;
  *) echo "unknown case $case"; exit 2 ;;
esac
echo "PASS ($case)"
