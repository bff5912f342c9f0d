#!/usr/bin/env bash
# Runs every fuzz_* binary of a build tree for a bounded time:
#   tools/run-fuzzers.sh BUILD_DIR SECONDS
# Each target starts from its seeds in fuzz/corpus/<name>/ (read only) and keeps what it finds
# in BUILD_DIR/corpus/<name>/, so later runs go on from there. A crash, a leak, a time-out or a
# failed check stops the target; the input is saved under BUILD_DIR/crashes/ and the script
# fails after running the others.
set -uo pipefail
build=${1:?build directory}
seconds=${2:?seconds per target}
root=$(cd "$(dirname "$0")/.." && pwd)
shopt -s nullglob
targets=("$build"/fuzz_*)
if [ ${#targets[@]} -eq 0 ]; then
  echo "error: no fuzz targets in $build" >&2
  exit 1
fi
# The fuzzers are instrumented from main() on: LeakSanitizer checks every input for leaks.
export ASAN_OPTIONS="detect_leaks=1:strict_string_checks=1:detect_stack_use_after_return=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
failed=()
for bin in "${targets[@]}"; do
  [ -x "$bin" ] || continue
  name=${bin##*/fuzz_}
  seeds="$root/fuzz/corpus/$name"
  work="$build/corpus/$name"
  crashes="$build/crashes"
  mkdir -p "$work" "$crashes"
  echo "== fuzz $name: ${seconds}s"
  # -timeout: one input taking longer than 10 s counts as a hang.
  # -rss_limit_mb: an input that makes the process grow past 2 GiB counts as a failure.
  # -max_len: large enough for a model file or a dictionary of a few hundred lines.
  if ! "$bin" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=16384 \
        -print_final_stats=1 -artifact_prefix="$crashes/$name-" "$work" "$seeds" \
        >"$build/$name.log" 2>&1; then
    failed+=("$name")
    tail -n 60 "$build/$name.log"
  else
    grep -E '^stat::number_of_executed_units|^#[0-9]+.*DONE' "$build/$name.log" | tail -n 2
  fi
done
if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzzing failed: ${failed[*]} (inputs in $build/crashes/)" >&2
  exit 1
fi
echo "fuzzing: ${#targets[@]} targets clean"
