#!/usr/bin/env bash
# Sets up, builds and runs the tests inside a private network namespace.
# Usage: scripts/test.sh [--sanitize address|thread] [--label REGEX] [--exclude REGEX] [--target T]...
#   --exclude leaves out the tests whose names match REGEX.
#   --target builds only T (and what it needs) instead of everything: for a label's tests.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
sanitize=()
label=()
exclude=()
targets=()
while [ $# -gt 0 ]; do
  case "$1" in
    --sanitize) sanitize=(--sanitize "$2"); shift 2 ;;
    --label) label=(-L "$2"); shift 2 ;;
    --exclude) exclude=(-E "$2"); shift 2 ;;
    --target) targets+=(--target "$2"); shift 2 ;;
    *) echo "test.sh: unknown option $1" >&2; exit 2 ;;
  esac
done
bash "$here/scripts/setup.sh"
dir=$(bash "$here/scripts/build.sh" "${sanitize[@]}" "${targets[@]}" | tail -n 1)
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1"
# The tests mostly wait on the simulated board's real-time clock (the whole plain suite takes
# about a tenth of one processor), so twice as many run at once as there are processors;
# ThreadSanitizer's tests keep the processors busy and run one per processor.
jobs=$(( $(nproc) * 2 ))
[ "${sanitize[1]:-}" != thread ] || jobs=$(nproc)
cd "$dir"
bash "$here/scripts/in-netns.sh" ctest --output-on-failure -j "$jobs" --timeout 300 "${label[@]}" "${exclude[@]}"
