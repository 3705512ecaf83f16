#!/usr/bin/env bash
# Runs a Windows program under Wine with a private prefix inside build/.
# Used as CMake's cross-compiling emulator, so CTest runs test executables
# through it. "--win64" selects the 64-bit loader and prefix.
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
root="$here/.."
if [ "${1:-}" = "--win64" ]; then
  shift
  loader=/usr/lib/wine/wine64
  export WINEPREFIX="${KELVAR_WINEPREFIX64:-$root/build/windows64/wineprefix}"
  export WINEARCH=win64
else
  loader=/usr/lib/wine/wine
  export WINEPREFIX="${KELVAR_WINEPREFIX32:-$root/build/windows/wineprefix}"
  export WINEARCH=win32
fi
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree=;mshtml=}"
exec "$loader" "$@"
