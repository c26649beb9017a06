#!/usr/bin/env bash
# Runs the JSON parser fuzzer for SECONDS (default 60) on a scratch copy of the seed corpus
# and fails on any crash, leak or timeout. It builds nothing; build the target first:
#   cmake --preset fuzz && cmake --build --preset fuzz --target json_fuzz
# An input that fails is kept in build/fuzz/artifacts/ to reproduce with
#   build/fuzz/bin/json_fuzz <file>
set -euo pipefail
cd "$(dirname "$0")/.."

seconds="${1:-60}"
case "$seconds" in
  '' | *[!0-9]*) echo "usage: $0 [SECONDS]" >&2; exit 2 ;;
esac

bin=build/fuzz/bin/json_fuzz
if [ ! -x "$bin" ]; then
  echo "fuzz.sh: $bin is missing; build it with:" >&2
  echo "  cmake --preset fuzz && cmake --build --preset fuzz --target json_fuzz" >&2
  exit 2
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# The fuzzer adds what it finds to the corpus folder: keep the seeds in git untouched.
cp -r fuzz/corpus/json "$work/corpus"
mkdir -p build/fuzz/artifacts

status=0
ASAN_OPTIONS="detect_leaks=1:${ASAN_OPTIONS:-}" \
UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:${UBSAN_OPTIONS:-}" \
  "$bin" "$work/corpus" \
    -max_total_time="$seconds" -max_len=65536 -timeout=10 -rss_limit_mb=2048 \
    -artifact_prefix="$PWD/build/fuzz/artifacts/" -print_final_stats=1 \
    >"$work/log" 2>&1 || status=$?

if [ "$status" -ne 0 ]; then
  tail -n 60 "$work/log" >&2
  echo "fuzz.sh: json_fuzz failed (exit $status); inputs kept in build/fuzz/artifacts/" >&2
  exit 1
fi
grep -E '^stat::(number_of_executed_units|new_units_added|peak_rss_mb)' "$work/log" || true
echo "fuzz.sh: no failure in $seconds s ($(ls "$work/corpus" | wc -l) corpus entries)"
