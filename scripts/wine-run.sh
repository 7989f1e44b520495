#!/usr/bin/env bash
# Runs a program of the Windows cross build under Wine (the cross build's test emulator, which
# sets WINEPREFIX and WINEARCH to the build's own throwaway prefix; scripts/test-windows.sh
# creates it first). Without WINEPREFIX it uses the 32-bit build's.
here=$(cd "$(dirname "$0")/.." && pwd)
export WINEPREFIX="${WINEPREFIX:-$here/build-windows/wine}"
export WINEARCH="${WINEARCH:-win32}"
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"  # no .NET or HTML engine installers
# Debian's wrapper starts the 32-bit loader; a 64-bit prefix needs the 64-bit one.
if [ "$WINEARCH" = win64 ] && [ -x /usr/lib/wine/wine64 ]; then
  exec /usr/lib/wine/wine64 "$@"
fi
exec wine "$@"
