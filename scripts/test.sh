#!/usr/bin/env bash
# Builds everything and runs every test. Used by CI through .ci/run.
#
# Four builds: the normal one (build/) with its tests; a sanitizer build (build-asan/,
# AddressSanitizer and UndefinedBehaviorSanitizer, the Qt program included) that runs the same
# tests; a fuzz build (build-fuzz/, clang and libFuzzer) whose every target runs for a few
# seconds on its seeds from the test corpus; and a ThreadSanitizer build (build-tsan/) of the
# thumbnail workers' tests only.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh

step() { echo; echo "=== $* ($(date +%T))"; }

step "normal build and tests"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build
ctest --test-dir build --output-on-failure -j2

step "sanitizer build and tests"
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPICTOLAN_SANITIZE=ON -DPICTOLAN_BUILD_APP=ON
cmake --build build-asan
# Any report ends the test that caused it.
export ASAN_OPTIONS=abort_on_error=1:detect_leaks=1:strict_string_checks=1:detect_stack_use_after_return=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export LSAN_OPTIONS=suppressions=$PWD/tests/lsan.supp
ctest --test-dir build-asan --output-on-failure -j2
unset ASAN_OPTIONS UBSAN_OPTIONS LSAN_OPTIONS

step "fuzz build and smoke run"
CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPICTOLAN_FUZZ=ON \
  -DPICTOLAN_BUILD_APP=OFF -DPICTOLAN_BUILD_TESTS=OFF -DPICTOLAN_BUILD_BENCH=OFF
cmake --build build-fuzz --target fuzzers
# Every graphic class the program registers has its fuzz target.
missing=0
for class in $(build/tools/pictolan-probe formats | cut -f3 | sort -u); do
  if [ ! -x "build-fuzz/fuzz/fuzz_$class" ]; then
    echo "no fuzz target for $class"
    missing=1
  fi
done
[ $missing -eq 0 ]
fuzz/run.sh build-fuzz smoke 5

step "thread sanitizer build and the thumbnail workers' tests"
cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPICTOLAN_TSAN=ON \
  -DPICTOLAN_BUILD_APP=OFF -DPICTOLAN_BUILD_BENCH=OFF
cmake --build build-tsan --target thumbnail_pool_tests
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 build-tsan/tests/thumbnail_pool_tests
