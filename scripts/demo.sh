#!/usr/bin/env bash
# The main job end to end: a local demo server with sample mailboxes, then
# kelvard.exe migrating them under Wine. Run it twice to see the second run
# skip the migrated accounts; "--fresh" starts again from nothing.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"

bash scripts/setup.sh
cmake --preset windows >/dev/null
cmake --build --preset windows

source scripts/wine-session.sh
trap kelvar_session_stop EXIT
kelvar_build_for_wine
kelvar_session_start
python3 tools/demo/demo.py "$@"
