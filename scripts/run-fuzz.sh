#!/usr/bin/env bash
# Builds the libFuzzer targets with clang in build-fuzz and runs each for a
# bounded time on its seed corpus. Not part of the test suite.
# Usage: scripts/run-fuzz.sh [seconds per target, default 60]
set -euo pipefail
cd "$(dirname "$0")/.."
secs=${1:-${FUZZ_SECONDS:-60}}
build=build-fuzz
san="-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer"
if [ ! -f "$build/build.ninja" ]; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
    -DCMAKE_C_FLAGS="-fsanitize=fuzzer-no-link $san" \
    -DCMAKE_CXX_FLAGS="-fsanitize=fuzzer-no-link $san" \
    -DCMAKE_EXE_LINKER_FLAGS="$san" \
    -DPMV_FUZZ=ON -DPMV_BUILD_TESTS=OFF -DPMV_BUILD_BENCH=OFF
fi
targets=(${FUZZ_TARGETS:-fuzz_config_reader fuzz_telnet})
cmake --build "$build" -j "${JOBS:-2}" --target "${targets[@]}"
for t in "${targets[@]}"; do
  seeds=tools/fuzz/corpus/${t#fuzz_}
  work=$build/corpus/$t
  mkdir -p "$work" "$build/artifacts"
  echo "== $t for ${secs}s"
  "$build/tools/fuzz/$t" -max_total_time="$secs" -max_len=65536 -timeout=10 -rss_limit_mb=2048 \
    -artifact_prefix="$build/artifacts/$t-" -print_final_stats=1 "$work" "$seeds"
done
