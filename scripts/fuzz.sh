#!/usr/bin/env bash
# Builds the fuzz targets of the portable core (clang, libFuzzer, ASan, UBSan)
# and runs each from its seed corpus for KELVAR_FUZZ_SECONDS (default 30).
# Fails on a crash, a leak or a sanitizer report; the input that did it is
# kept in build/fuzz/findings/. A longer run, e.g. ten minutes each:
#   KELVAR_FUZZ_SECONDS=600 bash scripts/fuzz.sh
# Only some targets: bash scripts/fuzz.sh imap_dialogue_fuzz pop3_dialogue_fuzz
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
seconds="${KELVAR_FUZZ_SECONDS:-30}"

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(imap_dialogue_fuzz imap_records_fuzz message_comparison_fuzz pop3_dialogue_fuzz line_assembler_fuzz settings_fuzz)

findings="$root/build/fuzz/findings"
mkdir -p "$findings"
failed=0
for target in "${targets[@]}"; do
  # The seeds stay as committed; what the run learns goes to a scratch corpus.
  work="$root/build/fuzz/corpus/$target"
  mkdir -p "$work"
  log="$root/build/fuzz/$target.log"
  if "$root/build/fuzz/fuzz/$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
      -artifact_prefix="$findings/$target-" "$work" "$root/tests/fuzz/corpus/$target" >"$log" 2>&1; then
    echo "fuzz: $target: $(grep -E '^Done [0-9]+ runs' "$log" | tail -1)"
  else
    echo "fuzz: $target FAILED; see $log and $findings/"
    tail -40 "$log"
    failed=1
  fi
done
exit $failed
