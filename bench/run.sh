#!/usr/bin/env bash
# Migration benchmark: kelvard.exe under Wine against mbsync and fetchmail on the
# same local mailboxes; prints the tables and writes bench/results/. Not a test:
# it prints figures. Extra arguments go to bench/migration_bench.py (--runs N,
# --corpora small,large,spread, --rtt 0,10,50, --pipeline 1,16, --no-tls,
# --no-curve, --no-rerun, --rerun-rtt, --rerun-mailbox, --rerun-limit,
# --no-commands, --no-readme; --help lists them). A quick run:
#   bash bench/run.sh --runs 1 --corpora spread --rtt 0 --pipeline 16 --no-curve --no-rerun --no-tls --no-readme
# Only the many-accounts row (eight accounts one at a time and at once, and their
# peak memory; about a quarter of an hour, no peers needed):
#   bash bench/run.sh many-accounts [--many-rtt 0,50] [--many-pipeline 1,16] [--many-protocols IMAP,POP3] [--no-memory]
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"

targets=()
if [ "${1:-}" = "many-accounts" ]; then
  targets=(--target kelvard kelvardb)
else
  # The peers are needed only here, so CI's set-up does not install them.
  bash scripts/setup.sh isync fetchmail
fi

source scripts/wine-session.sh
trap kelvar_session_stop EXIT
kelvar_choose_preset
cmake --preset "$KELVAR_WIN_PRESET" >/dev/null
cmake --build --preset "$KELVAR_WIN_PRESET" "${targets[@]}"
kelvar_session_start
if [ "$KELVAR_WIN_PRESET" = windows64 ]; then
  echo "bench: this host cannot execute 32-bit code; measuring the 64-bit build of the same sources"
  export KELVAR_WINE="$root/scripts/wine-run.sh --win64"
else
  export KELVAR_WINE="$root/scripts/wine-run.sh"
fi
export KELVAR_BUILD="$root/build/$KELVAR_WIN_PRESET"
python3 bench/migration_bench.py "$@"
