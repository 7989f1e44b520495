#!/usr/bin/env bash
# Runs every benchmark on this machine, in one go, and prints one table (also written as JSON):
# underruns and the lowest board queue depth at 3, 2 and 1.5 ms segments with the machine idle
# and with both cores busy; E-stop latency; the supervisor's and the service task's real periods;
# the plug-in's CPU while waiting for a board and while streaming; receive-path throughput;
# start-up time; kvhost's planning rate; with --baseline, the plug-in of another commit measured
# in the same run; with --wine, the same table for the x64 Windows build under Wine.
#
# Usage: scripts/bench.sh [--quick] [--baseline REF] [--wine] [--json PATH]
#   --quick         10 s of motion instead of 60, 50 E-stop trials instead of 200 (about 3 minutes;
#                   the full run takes about 12)
#   --baseline REF  also build the plug-in library at commit REF (e.g. main) and measure its CPU
#                   waiting and streaming beside this one's
#   --wine          also run the streaming, waiting and E-stop figures of the x64 Windows build
#                   under Wine (built first with scripts/build-windows.sh --arch x86_64; a cold
#                   build adds many minutes)
#   --json PATH     where the table goes as JSON (default build/bench.json)
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
quick=0
baseline=""
wine=0
json="$here/build/bench.json"
while [ $# -gt 0 ]; do
  case "$1" in
    --quick) quick=1; shift ;;
    --baseline) baseline="$2"; shift 2 ;;
    --wine) wine=1; shift ;;
    --json) json="$2"; shift 2 ;;
    *) echo "bench.sh: unknown option $1" >&2; exit 2 ;;
  esac
done
if [ "$quick" = 1 ]; then motion_s=10; trials=50; wait_s=5; min_time=0.2; else motion_s=60; trials=200; wait_s=20; min_time=1; fi

export CMAKE_CXX_COMPILER_LAUNCHER="${CMAKE_CXX_COMPILER_LAUNCHER:-$(command -v ccache || true)}"
export CMAKE_C_COMPILER_LAUNCHER="${CMAKE_C_COMPILER_LAUNCHER:-$(command -v ccache || true)}"
build="$here/build"
jobs=$(nproc)
if [ ! -f "$build/build.ninja" ]; then
  cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKV_SANITIZE= >/dev/null
fi
cmake --build "$build" -j "$jobs" --target kv_stream_bench kvplugin >&2
have_receive=0
if cmake --build "$build" -j "$jobs" --target kv_receive_bench >&2 2>/dev/null; then have_receive=1; fi

out="$build/bench-results"
rm -rf "$out"
mkdir -p "$out"
stream="$build/bench/kv_stream_bench"
busy=$(nproc)
netns() { bash "$here/scripts/in-netns.sh" "$@"; }
step() { echo "bench: $*" >&2; }

# The largest shared G-code program, for the planning rate.
gcode_dir="${KV_GCODE_DIR:-$here/../shared/gcode}"
largest=""
if [ -d "$gcode_dir" ]; then
  largest=$(find "$gcode_dir" -maxdepth 1 -type f \( -name '*.nc' -o -name '*.gcode' -o -name '*.ngc' -o -name '*.tap' \) \
            -printf '%s %p\n' | sort -n | tail -1 | cut -d' ' -f2-)
fi

# A plug-in built at another commit, from its files (git archive) in a build folder of its own.
baseline_plugin=""
if [ -n "$baseline" ]; then
  src="$build/bench-baseline/src"
  bdir="$build/bench-baseline/build"
  rev=$(git -C "$here" rev-parse --verify "$baseline^{commit}")
  if [ "$(cat "$build/bench-baseline/rev" 2>/dev/null)" != "$rev" ]; then
    rm -rf "$src"
    mkdir -p "$src"
    git -C "$here" archive "$rev" | tar -x -C "$src"
    echo "$rev" > "$build/bench-baseline/rev"
  fi
  cmake -S "$src" -B "$bdir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKV_SANITIZE= >/dev/null
  step "building the plug-in at $baseline ($rev)"
  cmake --build "$bdir" -j "$jobs" --target kvplugin >&2
  baseline_plugin="$bdir/plugin/Kalvero.so"
fi

# The Linux figures.
for seg in 3 2 1.5; do
  for b in 0 "$busy"; do
    step "streaming $motion_s s at $seg ms segments, $b busy threads"
    netns "$stream" --seconds "$motion_s" --segment-ms "$seg" --busy "$b" --json "$out/stream-$seg-$b.json" >&2 || true
  done
done
step "waiting for a board, $wait_s s"
netns "$stream" --wait "$wait_s" --json "$out/wait.json" >&2 || true
step "E-stop latency, $trials trials each"
netns "$stream" --estop "$trials" --json "$out/estop.json" >&2 || true
if [ -n "$largest" ]; then
  step "planning $(basename "$largest")"
  "$stream" --plan "$largest" --json "$out/plan.json" >&2 || true
fi
if [ "$have_receive" = 1 ]; then
  step "receive path"
  "$build/bench/kv_receive_bench" --benchmark_min_time="$min_time" --benchmark_format=console \
    --benchmark_out="$out/receive.json" --benchmark_out_format=json >&2 || true
fi
if [ -n "$baseline_plugin" ]; then
  step "the plug-in at $baseline: waiting, then streaming at 3 ms"
  netns "$stream" --plugin "$baseline_plugin" --wait "$wait_s" --json "$out/baseline-wait.json" >&2 || true
  netns "$stream" --plugin "$baseline_plugin" --seconds "$motion_s" --segment-ms 3 --json "$out/baseline-stream.json" >&2 || true
fi

# The Windows build under Wine: the same program, x64 (this kernel may run no 32-bit programs).
if [ "$wine" = 1 ]; then
  if ! command -v wine >/dev/null; then
    echo "bench: Wine is not installed; no Windows figures" >&2
  else
    step "building the x64 Windows build"
    # The toolchain and the build folder as the Windows stage has them, then the benchmark in it.
    wdir=$(bash "$here/scripts/build-windows.sh" --arch x86_64 --target kvplugin | tail -1)
    cmake -S "$here" -B "$wdir" -DKV_WINDOWS_BENCH=ON >/dev/null
    cmake --build "$wdir" -j "$jobs" --target kv_stream_bench >&2 || true
    wexe="$wdir/bench/kv_stream_bench.exe"
    if [ -f "$wexe" ]; then
      export WINEPREFIX="$wdir/wine" WINEARCH=win64
      if [ ! -f "$WINEPREFIX/system.reg" ]; then bash "$here/scripts/wine-run.sh" wineboot -i >/dev/null 2>&1 || true; fi
      # Wine runs the program with the Unix root as drive Z:, the current folder on it: Unix paths work.
      wrun() { (cd "$out" && netns bash "$here/scripts/wine-run.sh" "$@"); }
      wrun "$wexe" --seconds "$motion_s" --segment-ms 3 --json "$out/wine-stream-3-0.json" >&2 || true
      wrun "$wexe" --seconds "$motion_s" --segment-ms 3 --busy "$busy" --json "$out/wine-stream-3-$busy.json" >&2 || true
      # Wine counts another thread's CPU time in the kernel's 10 ms ticks: a longer wait, so that
      # the figure is more than a tick or two.
      wrun "$wexe" --wait "$((wait_s < 30 ? 30 : wait_s))" --json "$out/wine-wait.json" >&2 || true
      wrun "$wexe" --estop "$trials" --json "$out/wine-estop.json" >&2 || true
    else
      echo "bench: the Windows build made no $wexe; no Windows figures" >&2
    fi
  fi
fi

python3 "$here/scripts/bench_table.py" "$out" "$json" "$busy"
