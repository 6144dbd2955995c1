#!/usr/bin/env bash
# Sets up, builds and runs every test: a normal build, an ASan+UBSan build,
# the ThreadSanitizer stress tests and a short run of every fuzz target.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

jobs=$(nproc)
run_ctest() { (cd "$1" && ctest --output-on-failure --timeout 600 -j"$jobs" "${@:2}"); }

echo "== normal build"
scripts/build.sh build
run_ctest build

echo "== AddressSanitizer + UndefinedBehaviorSanitizer build"
scripts/build.sh build-asan -DNERIVO_SANITIZE=address -DNERIVO_BENCH=OFF
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  run_ctest build-asan -LE no-sanitizer

echo "== ThreadSanitizer stress tests"
# Only the groups that hold tests labelled tsan.
scripts/build.sh build-tsan -DNERIVO_SANITIZE=thread -DNERIVO_BENCH=OFF \
  "-DNERIVO_ONLY_GROUPS=support;log;queue;media;rtsp_protocol;stress;tools;reliability"
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 run_ctest build-tsan -L tsan

echo "== fuzz targets (short runs)"
scripts/build.sh build-fuzz -DNERIVO_FUZZ=ON -DNERIVO_TESTS=OFF -DNERIVO_BENCH=OFF \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++
scripts/fuzz.sh build-fuzz 10
echo "== all tests passed"
