#!/usr/bin/env bash
# Runs every benchmark binary of a build, one after the other. A benchmark
# program that fails (a crash, an error exit) is reported and the others still
# run; the script then exits with status 1.
set -uo pipefail
build=${1:-build}
export QT_QPA_PLATFORM=${QT_QPA_PLATFORM:-offscreen}
failed=()
for b in "$build"/bench/bench_*; do
  [ -f "$b" ] && [ -x "$b" ] || continue
  echo "== $(basename "$b")"
  "$b" --benchmark_repetitions=5 --benchmark_report_aggregates_only=true 2>&1
  rc=$?
  if [ "$rc" -ne 0 ]; then
    echo "run-bench: $(basename "$b") failed (exit status $rc)" >&2
    failed+=("$(basename "$b")")
  fi
done
if [ "${#failed[@]}" -gt 0 ]; then
  echo "run-bench: failed: ${failed[*]}" >&2
  exit 1
fi
