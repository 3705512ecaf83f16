#!/usr/bin/env bash
# Sourced by the test and demo commands: starts Xvfb on a free display and a
# persistent wineserver for the chosen Wine build, and stops both on exit.
# Expects KELVAR_WIN_PRESET (windows or windows64) to be set.

kelvar_root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

# True when this host can run 32-bit Windows programs (32-bit Wine needs IA-32 emulation).
kelvar_can_run_win32() {
  [ -x /usr/lib/wine/wine ] || return 1
  /usr/lib/wine/wine --version >/dev/null 2>&1
}

kelvar_choose_preset() {
  if [ -n "${KELVAR_WIN_PRESET:-}" ]; then return; fi
  if kelvar_can_run_win32; then KELVAR_WIN_PRESET=windows; else KELVAR_WIN_PRESET=windows64; fi
  export KELVAR_WIN_PRESET
}

# Builds what runs under Wine on this host: the 32-bit deliverables where
# 32-bit Wine works, else the 64-bit build of the same sources.
kelvar_build_for_wine() {
  kelvar_choose_preset
  if [ "$KELVAR_WIN_PRESET" = windows64 ]; then
    echo "== this host cannot execute 32-bit code: Wine runs the 64-bit build of the same sources"
    cmake --preset windows64 >/dev/null
    cmake --build --preset windows64
  fi
  if [ "$KELVAR_WIN_PRESET" = windows64 ]; then
    export KELVAR_WINE="$kelvar_root/scripts/wine-run.sh --win64"
  else
    export KELVAR_WINE="$kelvar_root/scripts/wine-run.sh"
  fi
  export KELVAR_BUILD="$kelvar_root/build/$KELVAR_WIN_PRESET"
}

kelvar_wine_run() {
  if [ "$KELVAR_WIN_PRESET" = windows64 ]; then
    "$kelvar_root/scripts/wine-run.sh" --win64 "$@"
  else
    "$kelvar_root/scripts/wine-run.sh" "$@"
  fi
}

# The server binary itself: Debian's wrapper adds "-p0", which never lets it exit.
kelvar_wineserver() {
  if [ "$KELVAR_WIN_PRESET" = windows64 ]; then echo /usr/lib/wine/wineserver64; else echo /usr/lib/wine/wineserver32; fi
}

kelvar_started_xvfb=""
kelvar_started_wineserver=""

kelvar_session_stop() {
  if [ -n "$kelvar_started_wineserver" ]; then
    WINEPREFIX="$kelvar_started_wineserver" "$(kelvar_wineserver)" -k >/dev/null 2>&1 || true
  fi
  if [ -n "$kelvar_started_xvfb" ]; then kill "$kelvar_started_xvfb" 2>/dev/null || true; fi
}

kelvar_session_start() {
  kelvar_choose_preset
  if [ -z "${DISPLAY:-}" ] || [ "${KELVAR_FORCE_XVFB:-}" = 1 ]; then
    local n
    for n in $(seq 90 140); do
      [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ] && continue
      Xvfb ":$n" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
      kelvar_started_xvfb=$!
      export DISPLAY=":$n"
      for _ in $(seq 50); do [ -e "/tmp/.X11-unix/X$n" ] && break; sleep 0.1; done
      break
    done
  fi
  local prefix
  if [ "$KELVAR_WIN_PRESET" = windows64 ]; then prefix="$kelvar_root/build/windows64/wineprefix"
  else prefix="$kelvar_root/build/windows/wineprefix"; fi
  mkdir -p "$(dirname "$prefix")"
  if [ ! -f "$prefix/system.reg" ]; then
    echo "wine: creating the prefix in $prefix"
    kelvar_wine_run wineboot -i >/dev/null 2>&1 || true
  fi
  WINEPREFIX="$prefix" "$(kelvar_wineserver)" -p >/dev/null 2>&1 &
  kelvar_started_wineserver="$prefix"
  export KELVAR_WINEPREFIX="$prefix"
  # The first program of a server session starts Wine's own services, which
  # stay as long as the server and keep the output pipes they inherit open:
  # started by a test, they would hold CTest waiting for its output to end.
  kelvar_wine_run cmd /c exit >/dev/null 2>&1 </dev/null || true
}
