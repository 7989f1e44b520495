#!/usr/bin/env bash
# Captures the fuzz targets' seed corpora from real sessions: kvboard (--capture) against kvhost
# cutting a program, once plainly and once with a pendant whose keys are pressed, then cuts what
# the board sent into seeds for the receive, USB report and pendant targets; the profile kvhost
# saved, the bundled programs and a few loader images complete them. Writes fuzz/corpus/.
# Usage: fuzz/make_corpus.sh BUILD_DIR   (a build with kvhost and kvboard)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "$1" && pwd)
if [ -z "${KV_IN_NETNS:-}" ]; then
  KV_IN_NETNS=1 exec bash "$here/../scripts/in-netns.sh" env KV_IN_NETNS=1 bash "$0" "$build"
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

session() {  # NAME BOARD-ARGS...: one kvhost run against kvboard, the board's bytes in NAME.bin
  local name=$1; shift
  "$build/kvboard/kvboard" --discovery-port 23901 --plugin-port 43901 --time-limit 30 --capture "$name.bin" "$@" \
    > "$name.board.log" 2>&1 &
  local board=$!
  sleep 0.3
  "$build/kvhost/kvhost" --board external --discovery 127.0.0.1:23901 --listen-port 43901 --profile "$name.xml" \
    --time-limit 20 "$here/../examples/contour.nc" > "$name.host.log" 2>&1 || true
  kill -INT "$board" 2>/dev/null; wait "$board" 2>/dev/null || true
}
session plain --reports-from status
session pendant --pendant 0,18 --pendant 1,20 --pendant-key 0,19@2s --pendant-key 0,147@2.3s --pendant-key 1,3@2.6s

out=$here/corpus
rm -rf "$out" && mkdir -p "$out"/{receive,usb_report,pendant,profile,firmware_image,gcode}
python3 - "$work" "$out" <<'PY'
import sys, os
work, out = sys.argv[1], sys.argv[2]
def frames(stream):
    at = 0
    while at < len(stream):
        n = stream[at]; body = stream[at + 1: at + 1 + n]; at += 1 + n
        if n: yield body
for name in ('plain', 'pendant'):
    stream = open(os.path.join(work, name + '.bin'), 'rb').read()
    # The start of the session (identification, status, first reports) and pieces of the rest.
    pieces = [stream[:2048]] + [stream[i:i + 1024] for i in range(2048, len(stream), len(stream) // 6 or 1)][:6]
    for i, piece in enumerate(pieces):
        open(os.path.join(out, 'receive', f'{name}-{i}'), 'wb').write(bytes([1]) + piece)
        # The same bytes as the board's USB input reports carry them: ID, count, sequence, data.
        reports = bytearray()
        for seq, at in enumerate(range(0, len(piece), 62)):
            chunk = piece[at:at + 62]
            reports += bytes([0, len(chunk), seq & 0xFF]) + chunk + bytes(62 - len(chunk))
        open(os.path.join(out, 'usb_report', f'{name}-{i}'), 'wb').write(bytes(reports))
    # Pendant bytes: the data of each 0xCA 0xAC record, as (channel | length << 1) and the bytes.
    seed = bytearray()
    for body in frames(stream):
        if len(body) >= 4 and body[0] == 0xCA and body[1] == 0xAC and body[2] >= 1 and body[3] <= 1:
            data = body[4:4 + body[2] - 1][:127]
            seed += bytes([body[3] | len(data) << 1]) + data
    if seed:
        open(os.path.join(out, 'pendant', name), 'wb').write(bytes(seed))
PY
cp plain.xml "$out/profile/saved-by-kvhost.xml"
cat > "$out/profile/other-sections.xml" <<'XML'
<?xml version="1.0" encoding="UTF-8"?>
<!-- the user's machine -->
<profile>
  <Preferences><Units>1</Units><Title>mill &amp; lathe</Title></Preferences>
  <VEX><SegLen>3000</SegLen><MpgSrc>1</MpgSrc></VEX>
  <kvhost steps_per_unit_x="800"/>
</profile>
XML
printf 'KVFW\x04\x02firmware image for the fuzz seed corpus' > "$out/firmware_image/marked"
head -c 48 /dev/zero > "$out/firmware_image/one-block"
head -c 49 /dev/urandom > "$out/firmware_image/two-blocks"
for f in "$here"/../examples/*.nc; do cp "$f" "$out/gcode/"; done
printf 'G21 G90\nG1 X1 F0.5\nG2 X2 Y0 R0.5\nG91 G0 Z-1\nG4 P0.2\nM3 S1000\nM5\nM30\n' > "$out/gcode/small"
ls "$out"/* | head -50
