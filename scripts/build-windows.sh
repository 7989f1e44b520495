#!/usr/bin/env bash
# Cross-builds the Windows DLL Kalvero.dll, kvhost.exe and the unit tests with Debian's mingw-w64
# (posix thread model), installing the compiler and GoogleTest's sources where missing.
# Usage: scripts/build-windows.sh [--arch i686|x86_64] [--target T]... [--install-only]
#   i686 (the default) is the product: the 32-bit DLL the host loads, in build-windows/.
#   x86_64 builds the same sources as 64-bit programs, in build-windows-x64/ (for Wine where the
#   kernel runs no 32-bit programs).
# Prints the build folder on its last line.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
arch=i686
targets=()
install_only=""
while [ $# -gt 0 ]; do
  case "$1" in
    --arch) arch="$2"; shift 2 ;;
    --target) targets+=(--target "$2"); shift 2 ;;
    --install-only) install_only=1; shift ;;
    *) echo "build-windows.sh: unknown option $1" >&2; exit 2 ;;
  esac
done
case "$arch" in
  i686) dir="$here/build-windows"; compiler=g++-mingw-w64-i686-posix; tools=(binutils-mingw-w64-i686 mingw-w64-i686-dev) ;;
  x86_64) dir="$here/build-windows-x64"; compiler=g++-mingw-w64-x86-64-posix; tools=(binutils-mingw-w64-x86-64 mingw-w64-x86-64-dev) ;;
  *) echo "build-windows.sh: --arch is i686 or x86_64" >&2; exit 2 ;;
esac
packages=(cmake ninja-build binutils "$compiler" "${tools[@]}" googletest)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}" >&2
  sudo_cmd=""
  [ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
  $sudo_cmd apt-get update -qq >&2 || true  # a mirror's index that fails to download is not fatal
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq "${missing[@]}" >/dev/null
fi
[ -z "$install_only" ] || exit 0
# Optimised without debug information: the DLL a user installs carries none, and DWARF in PE
# files makes every link several times slower.
cmake -S "$here" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS_RELEASE="-O2 -DNDEBUG" \
  -DCMAKE_C_FLAGS_RELEASE="-O2 -DNDEBUG" \
  -DCMAKE_TOOLCHAIN_FILE="$here/cmake/mingw-w64-$arch.cmake" >/dev/null
cmake --build "$dir" -j 2 "${targets[@]}" >&2
echo "$dir"
