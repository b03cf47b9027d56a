#!/usr/bin/env bash
# Fuzzes the program for SECONDS (default 150) with the harness of the fuzz
# build (cmake --preset fuzz; ASan and UBSan), starting from the seeds and
# the regression inputs.  Inputs that reach new code collect in
# build/fuzz/corpus; an input that fails is written to build/fuzz/artifacts/
# and belongs, once the program is fixed, in tests/fuzz/regressions/.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-150}
fuzzer=build/fuzz/tests/fuzz/ostrautil_fuzz
log=build/fuzz/fuzz.log
mkdir -p build/fuzz/corpus build/fuzz/artifacts
if ! "$fuzzer" -max_total_time="$seconds" -max_len=8192 -timeout=10 -print_final_stats=1 \
  -artifact_prefix=build/fuzz/artifacts/ build/fuzz/corpus tests/fuzz/corpus \
  tests/fuzz/regressions >"$log" 2>&1; then
  tail -n 60 "$log" >&2
  echo "fuzzing found a failing input: see $log and build/fuzz/artifacts/" >&2
  exit 1
fi
grep -E '^(Done|stat::number_of_executed_units|stat::peak_rss_mb)' "$log"
