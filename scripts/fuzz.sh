#!/usr/bin/env bash
# Runs every fuzz target in turn on a scratch copy of its seed corpus (fuzz/corpus/<name>),
# sharing SECONDS (default 60) among them, and fails on any crash, leak, timeout or broken
# property. It builds nothing; build the targets first:
#   cmake --preset fuzz && cmake --build --preset fuzz --target $(scripts/fuzz.sh --targets)
# An input that fails is kept in build/fuzz/artifacts/ to reproduce with
#   build/fuzz/bin/<target> <file>
#   scripts/fuzz.sh [SECONDS [TARGET...]]   the named targets only
#   scripts/fuzz.sh --targets               prints the target names
# The seed is fixed (VL_FUZZ_SEED, default 1), so that a run on unchanged code takes the
# same paths; VL_FUZZ_SEED=0 lets each run pick its own.
set -euo pipefail
cd "$(dirname "$0")/.."

all_targets() {
  for src in fuzz/*_fuzz.cpp; do basename "$src" .cpp; done
}
if [ "${1:-}" = "--targets" ]; then
  all_targets | tr '\n' ' '
  echo
  exit 0
fi

seconds="${1:-60}"
case "$seconds" in
  '' | *[!0-9]*) echo "usage: $0 [SECONDS [TARGET...]] | --targets" >&2; exit 2 ;;
esac
shift || true
if [ $# -gt 0 ]; then targets=("$@"); else mapfile -t targets < <(all_targets); fi

# Each target gets an equal share, at least one second.
share=$(( seconds / ${#targets[@]} ))
[ "$share" -ge 1 ] || share=1

for target in "${targets[@]}"; do
  bin=build/fuzz/bin/$target
  if [ ! -x "$bin" ]; then
    echo "fuzz.sh: $bin is missing; build it with:" >&2
    echo "  cmake --preset fuzz && cmake --build --preset fuzz --target $target" >&2
    exit 2
  fi
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p build/fuzz/artifacts

failed=0
for target in "${targets[@]}"; do
  # The fuzzer adds what it finds to the corpus folder: keep the seeds in git untouched.
  cp -r "fuzz/corpus/${target%_fuzz}" "$work/$target"
  status=0
  ASAN_OPTIONS="detect_leaks=1:${ASAN_OPTIONS:-}" \
  UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:${UBSAN_OPTIONS:-}" \
    "build/fuzz/bin/$target" "$work/$target" \
      -seed="${VL_FUZZ_SEED:-1}" -max_total_time="$share" -max_len=65536 -timeout=10 \
      -rss_limit_mb=2048 \
      -artifact_prefix="$PWD/build/fuzz/artifacts/$target-" -print_final_stats=1 \
      >"$work/$target.log" 2>&1 || status=$?
  if [ "$status" -ne 0 ]; then
    tail -n 60 "$work/$target.log" >&2
    echo "fuzz.sh: $target failed (exit $status); inputs kept in build/fuzz/artifacts/" >&2
    failed=1
    continue
  fi
  runs=$(grep -aoE '^stat::number_of_executed_units: [0-9]+' "$work/$target.log" | grep -oE '[0-9]+$' || true)
  echo "fuzz.sh: $target: no failure in $share s (${runs:-?} runs, $(ls "$work/$target" | wc -l) corpus entries)"
done
exit "$failed"
