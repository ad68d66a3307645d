#!/usr/bin/env bash
# The whole test suite: the normal build, then the sanitizer builds.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)

tools/setup.sh build
ctest --test-dir build --output-on-failure -j"$jobs"

tools/setup.sh build-tsan -DVB_SANITIZE=thread -DVB_BENCH=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
  ctest --test-dir build-tsan --output-on-failure -j"$jobs" -LE no_tsan

tools/setup.sh build-asan -DVB_SANITIZE=address -DVB_BENCH=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo
ASAN_OPTIONS="detect_leaks=0" UBSAN_OPTIONS="print_stacktrace=1 halt_on_error=1" \
  ctest --test-dir build-asan --output-on-failure -j"$jobs" -LE no_asan

# A bounded fuzz run of each libFuzzer target, from its committed seeds and regression inputs.
bash tools/fuzz.sh 30
echo "all tests passed"
