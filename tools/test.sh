#!/usr/bin/env bash
# Builds and runs every test: the release build (unit, end-to-end, deep perft,
# the bench signature, long sessions, the generic build under an emulated
# processor), then the suite again under AddressSanitizer and
# UndefinedBehaviorSanitizer, then a two-thread search under ThreadSanitizer,
# then a short run of every fuzz target.  Exits non-zero on the first failure.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/setup.sh
jobs=$(nproc)

cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DVEXAR_WERROR=ON
cmake --build build -j"$jobs"
ctest --test-dir build --output-on-failure

cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVEXAR_SANITIZE=ON
cmake --build build-asan -j"$jobs"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build-asan --output-on-failure -LE 'deep|slow|timing|emulated'

cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVEXAR_TSAN=ON -DVEXAR_TESTS=OFF
cmake --build build-tsan -j"$jobs" --target vexar-0.9-avx
TSAN_OPTIONS=halt_on_error=1 python3 tests/tsan_threads.py build-tsan/vexar-0.9-avx

# A short run of every fuzz target (a long campaign: tests/fuzz/README.md).
bash tools/fuzz.sh 15
