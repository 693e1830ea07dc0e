#!/usr/bin/env bash
# Builds Ampwarden and runs every test: the unit and end-to-end tests, then the unit tests
# once more under AddressSanitizer and UndefinedBehaviorSanitizer, then each fuzzer briefly.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh

jobs=$(nproc)
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j"$jobs"
ctest --test-dir build --output-on-failure --timeout 600

cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DAMPWARDEN_SANITIZE=ON \
  -DAMPWARDEN_E2E=OFF -DAMPWARDEN_BENCH=OFF
cmake --build build-asan -j"$jobs" --target ampwarden_unit_tests
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build-asan --output-on-failure --timeout 600

# A few seconds per decoder; scripts/fuzz.sh 600 is the longer run.
bash scripts/fuzz.sh 10
