#!/usr/bin/env bash
# The whole test suite: the normal build, then the sanitizer builds.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)

e2e="e2e_full|e2e_short"  # end-to-end cases: minutes each, but mostly waiting, so many at once

tools/setup.sh build
ctest --test-dir build --output-on-failure -j"$jobs" -LE "$e2e"
ctest --test-dir build --output-on-failure -j20 -L "$e2e"

tools/setup.sh build-tsan -DVB_SANITIZE=thread -DVB_BENCH=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo
tsan_env=(TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$PWD/tests/tsan.supp")
env "${tsan_env[@]}" ctest --test-dir build-tsan --output-on-failure -j"$jobs" -LE "no_tsan|$e2e"

tools/setup.sh build-asan -DVB_SANITIZE=address -DVB_BENCH=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo
asan_env=(ASAN_OPTIONS="detect_leaks=1" LSAN_OPTIONS="suppressions=$PWD/tests/lsan.supp"
          UBSAN_OPTIONS="print_stacktrace=1 halt_on_error=1")
env "${asan_env[@]}" ctest --test-dir build-asan --output-on-failure -j"$jobs" -LE "no_asan|$e2e"

# The end-to-end cases under both sanitizers at once, in their Short depth (the Full ones take
# many minutes each): they mostly wait on the 4 ms cycle, so the two runs share the machine.
env "${tsan_env[@]}" VB_E2E_TIME_FACTOR=2 ctest --test-dir build-tsan --output-on-failure -j10 \
  -L e2e_short -LE no_tsan >build-tsan/e2e.log 2>&1 &
tsan_e2e=$!
env "${asan_env[@]}" VB_E2E_TIME_FACTOR=2 ctest --test-dir build-asan --output-on-failure -j10 \
  -L e2e_short -LE no_asan >build-asan/e2e.log 2>&1 &
asan_e2e=$!
e2e_status=0
wait "$tsan_e2e" || e2e_status=1
wait "$asan_e2e" || e2e_status=1
cat build-tsan/e2e.log build-asan/e2e.log
[ "$e2e_status" -eq 0 ]

# A bounded fuzz run of each libFuzzer target, from its committed seeds and regression inputs.
bash tools/fuzz.sh 30
echo "all tests passed"
