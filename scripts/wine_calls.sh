#!/usr/bin/env bash
# Counts the system calls and wineserver requests of one IMAP4 or POP3
# session per message (see scripts/wine_calls.py); builds what runs under
# Wine first. With --requests the prefix's wineserver is one that traces
# every request (-d1), so the figures name the requests; that run is slower.
#
#   bash scripts/wine_calls.sh [--requests] [--protocol imap|pop3] [--small N] [--large N] [--pipeline N]
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
source scripts/wine-session.sh
kelvar_build_for_wine
if [ "${1:-}" != --requests ]; then
  trap kelvar_session_stop EXIT
  kelvar_session_start
  exec python3 scripts/wine_calls.py "$@"
fi
shift
if [ "$KELVAR_WIN_PRESET" = windows64 ]; then prefix="$root/build/windows64/wineprefix"; else prefix="$root/build/windows/wineprefix"; fi
export KELVAR_WINEPREFIX="$prefix"
[ -f "$prefix/system.reg" ] || kelvar_wine_run wineboot -i >/dev/null 2>&1 || true
WINEPREFIX="$prefix" "$(kelvar_wineserver)" -k >/dev/null 2>&1 || true
trace="$(mktemp)"
WINEPREFIX="$prefix" "$(kelvar_wineserver)" -f -d1 -p 2>"$trace" &
server=$!
trap 'WINEPREFIX="$prefix" "$(kelvar_wineserver)" -k >/dev/null 2>&1 || true; wait $server || true; rm -f "$trace"' EXIT
sleep 1
kelvar_wine_run cmd /c exit >/dev/null 2>&1 </dev/null || true
KELVAR_SERVER_TRACE="$trace" python3 scripts/wine_calls.py --requests "$@"
