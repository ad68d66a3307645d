#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, ASan+UBSan) in build-fuzz and runs each for a bounded time,
# starting from its committed seeds and regression inputs in fuzz/corpus/<target>. Fails when a
# target crashes, leaks, hangs (10 s), makes a single allocation over 64 MiB (the SDK's own size
# limits keep a reply's largest far below that) or breaks one of its checks; the input that did it
# is left in build-fuzz/findings/<target>/ (keep it in fuzz/corpus/<target>/ once it is fixed).
# Usage: tools/fuzz.sh [seconds per target, default 30]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-30}
build=build-fuzz
targets=(web_command http_resource sdk_reply)

# clang's fuzzer runtime and the libraries come with tools/setup.sh (tools/test.sh ran it first).
dpkg-query -W -f='${Status}' libclang-rt-14-dev 2>/dev/null | grep -q "install ok installed" ||
  tools/setup.sh build
CC=clang CXX=clang++ cmake -S . -B "$build" -DVB_FUZZ=ON -DVB_SANITIZE=address \
  -DBUILD_TESTING=OFF -DVB_BENCH=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$(nproc)" --target "${targets[@]/%/_fuzzer}"

failed=()
for t in "${targets[@]}"; do
  work="$build/corpus/$t"      # what the run adds; the committed seeds stay as they are
  findings="$build/findings/$t"
  mkdir -p "$work" "$findings"
  dict=()
  [ -f "fuzz/$t.dict" ] && dict=(-dict="fuzz/$t.dict")
  echo "fuzzing $t for ${seconds}s"
  if ASAN_OPTIONS="detect_leaks=1" UBSAN_OPTIONS="print_stacktrace=1 halt_on_error=1" \
    "$build/fuzz/${t}_fuzzer" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -malloc_limit_mb=64 -max_len=4096 -print_final_stats=1 -artifact_prefix="$findings/" \
    "${dict[@]}" "$work" "fuzz/corpus/$t" >"$build/fuzz-$t.log" 2>&1; then
    grep -E "^stat::number_of_executed_units|^stat::peak_rss_mb" "$build/fuzz-$t.log" || true
  else
    echo "fuzz target $t failed; its log ends:"
    tail -n 40 "$build/fuzz-$t.log"
    ls "$findings"
    failed+=("$t")
  fi
done

if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzzing failed: ${failed[*]}"
  exit 1
fi
echo "fuzzing passed: ${targets[*]}"
