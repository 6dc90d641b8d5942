#!/usr/bin/env bash
# Runs every benchmark binary of a build, one after the other, each once with
# five repetitions; the repetitions of one binary's benchmarks alternate, so
# a figure and the baselines beside it are taken in the same rounds of a
# machine whose load changes. A benchmark that fails (non-zero exit, crash,
# time-out) is reported on standard error and not run again; the others
# still run, and the script exits 1 at the end if any failed.
set -uo pipefail
build=${1:-build}
export QT_QPA_PLATFORM=${QT_QPA_PLATFORM:-offscreen}
failed=()
for b in "$build"/bench/bench_*; do
  [ -f "$b" ] && [ -x "$b" ] || continue
  name=$(basename "$b")
  echo "== $name"
  "$b" --benchmark_repetitions=5 --benchmark_enable_random_interleaving=true \
    --benchmark_report_aggregates_only=true 2>&1
  rc=$?
  if [ "$rc" -ne 0 ]; then
    if [ "$rc" -gt 128 ]; then
      why="killed by signal $((rc - 128))$(kill -l "$((rc - 128))" 2>/dev/null | sed 's/^/ SIG/')"
    else
      why="exit status $rc"
    fi
    echo "run-bench.sh: $name failed: $why" >&2
    failed+=("$name")
  fi
done
if [ "${#failed[@]}" -ne 0 ]; then
  echo "run-bench.sh: ${#failed[@]} benchmark(s) failed: ${failed[*]}" >&2
  exit 1
fi
