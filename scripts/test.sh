#!/usr/bin/env bash
# Builds everything and runs every test: the portable core natively under the
# sanitizers, then the Windows binaries and their tests under Wine.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"

bash scripts/setup.sh

echo "== native build and tests (AddressSanitizer, UndefinedBehaviorSanitizer)"
cmake --preset native >/dev/null
cmake --build --preset native
ctest --preset native

echo "== fuzz targets (libFuzzer; KELVAR_FUZZ_SECONDS=${KELVAR_FUZZ_SECONDS:-30} each)"
bash scripts/fuzz.sh

echo "== Windows deliverables (32-bit)"
cmake --preset windows >/dev/null
cmake --build --preset windows
bash scripts/check-imports.sh build/windows/bin
python3 scripts/check_win32_contract.py build/windows/bin

source scripts/wine-session.sh
trap kelvar_session_stop EXIT
kelvar_build_for_wine
kelvar_session_start
echo "== tests under Wine ($KELVAR_WIN_PRESET, DISPLAY=$DISPLAY)"
ctest --preset "$KELVAR_WIN_PRESET" "$@"
