#!/usr/bin/env bash
# Migration benchmark: kelvard.exe under Wine against mbsync and fetchmail on the
# same local mailboxes; prints the table and writes bench/results/. Not a test:
# it prints figures. Extra arguments go to bench/migration_bench.py (--runs N,
# --corpora small,large, --no-readme). With --latency first, the same tools run
# through a delaying proxy at several round-trip times instead
# (bench/latency_bench.py: --rtt 0,10,50, --runs N).
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"

# The peers are needed only here, so CI's set-up does not install them.
bash scripts/setup.sh isync fetchmail

source scripts/wine-session.sh
trap kelvar_session_stop EXIT
kelvar_choose_preset
cmake --preset "$KELVAR_WIN_PRESET" >/dev/null
cmake --build --preset "$KELVAR_WIN_PRESET"
kelvar_session_start
if [ "$KELVAR_WIN_PRESET" = windows64 ]; then
  echo "bench: this host cannot execute 32-bit code; measuring the 64-bit build of the same sources"
  export KELVAR_WINE="$root/scripts/wine-run.sh --win64"
else
  export KELVAR_WINE="$root/scripts/wine-run.sh"
fi
export KELVAR_BUILD="$root/build/$KELVAR_WIN_PRESET"
if [ "${1:-}" = --latency ]; then
  shift
  python3 bench/latency_bench.py "$@"
else
  python3 bench/migration_bench.py "$@"
fi
