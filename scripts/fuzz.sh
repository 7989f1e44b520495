#!/usr/bin/env bash
# Builds the fuzz targets with clang and libFuzzer under ASan and UBSan (installing clang where
# missing) into build-fuzz/, and runs every target for N seconds from its seed corpus
# (fuzz/corpus/), two at a time. One line per target:
#   fuzz TARGET: N executions, N crashes
# and exits non-zero if any target crashed, leaked, hung or ran out of memory. The inputs that
# did are kept in build-fuzz/fuzz-artifacts/TARGET/; copy each into fuzz/regressions/TARGET/ once
# fixed, where every ordinary build replays it (ctest FuzzReplay.TARGET). Coverage per target is
# written to build-fuzz/fuzz-report.txt.
# Usage: scripts/fuzz.sh [--seconds N] [--jobs J] [--only TARGET] [--install-only | --build-only]
set -uo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
seconds=60 jobs=2 only="" install_only="" build_only=""
while [ $# -gt 0 ]; do
  case "$1" in
    --seconds) seconds=$2; shift 2 ;;
    --jobs) jobs=$2; shift 2 ;;
    --only) only=$2; shift 2 ;;
    --install-only) install_only=1; shift ;;
    --build-only) build_only=1; shift ;;
    *) echo "fuzz.sh: unknown option $1" >&2; exit 2 ;;
  esac
done
targets=(receive pendant profile usb_report firmware_image gcode)
[ -z "$only" ] || targets=("$only")

if ! command -v clang++ >/dev/null; then
  sudo=""; [ "$(id -u)" -eq 0 ] || sudo=sudo
  $sudo apt-get install -y clang >&2 || { echo "fuzz.sh: cannot install clang" >&2; exit 1; }
fi
bash "$here/scripts/setup.sh" >&2
[ -z "$install_only" ] || exit 0
dir=$here/build-fuzz
cmake -S "$here" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang \
  -DCMAKE_CXX_COMPILER=clang++ -DKV_FUZZ=ON >/dev/null || exit 1
cmake --build "$dir" -j 2 --target "${targets[@]/#/fuzz_}" >&2 || exit 1
[ -z "$build_only" ] || exit 0

report=$dir/fuzz-report.txt
: > "$report"
export ASAN_OPTIONS="detect_leaks=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"

run_target() {
  local name=$1
  local corpus=$dir/fuzz-corpus/$name artifacts=$dir/fuzz-artifacts/$name log=$dir/fuzz-$name.log
  rm -rf "$artifacts" && mkdir -p "$corpus" "$artifacts"
  "$dir/fuzz/fuzz_$name" -max_total_time="$seconds" -print_final_stats=1 -timeout=10 -rss_limit_mb=2048 \
    -artifact_prefix="$artifacts/" "$corpus" "$here/fuzz/corpus/$name" > "$log" 2>&1
  local execs crashes cov features
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
  crashes=$(find "$artifacts" -type f | wc -l)
  cov=$(grep -o 'cov: [0-9]*' "$log" | tail -n 1 | tr -dc 0-9)
  features=$(grep -o 'ft: [0-9]*' "$log" | tail -n 1 | tr -dc 0-9)
  echo "fuzz $name: ${execs:-0} executions, $crashes crashes"
  if [ "$crashes" -ne 0 ]; then
    # What CI shows of a failure: the input (base64 too, to carry it off a CI log) and the trace.
    for f in "$artifacts"/*; do echo "  input $(basename "$f"): $(base64 -w0 "$f")"; done
    grep -m 1 -A 24 -E '^==[0-9]+==.*(ERROR|WARNING)|^SUMMARY|runtime error' "$log" | sed 's/^/  /'
  fi
  echo "$name: ${execs:-0} executions, $crashes crashes, coverage ${cov:-0} edges, ${features:-0} features, corpus $(ls "$corpus" | wc -l) inputs" >> "$report"
}

results=$dir/fuzz-results.txt
: > "$results"
for name in "${targets[@]}"; do
  run_target "$name" | tee -a "$results" &
  while [ "$(jobs -rp | wc -l)" -ge "$jobs" ]; do sleep 0.2; done
done
wait
! grep -qv ' 0 crashes$' "$results"
