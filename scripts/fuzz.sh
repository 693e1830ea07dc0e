#!/usr/bin/env bash
# Builds the libFuzzer harnesses (clang, ASan + UBSan) in build-fuzz and runs each for
# SECONDS seconds (default 10) from the seed corpus in fuzz/corpus. New inputs go to a scratch
# folder, so the tree is left as it was; a crash is written to build-fuzz/findings and fails.
#   scripts/fuzz.sh [SECONDS] [NAME...]
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-10}
shift || true
names=("$@")
if ((${#names[@]} == 0)); then
  names=(emulator_frames key_table value_codecs answer_decoder port_protocol battery_attributes)
fi

CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DAMPWARDEN_FUZZ=ON -DAMPWARDEN_SANITIZE=ON -DAMPWARDEN_TESTS=OFF -DAMPWARDEN_BENCH=OFF >/dev/null
cmake --build build-fuzz -j"$(nproc)" --target "${names[@]/#/fuzz_}"

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
rm -rf build-fuzz/findings
mkdir -p build-fuzz/findings
for name in "${names[@]}"; do
  mkdir -p "$scratch/$name"
  echo "fuzz_$name: ${seconds} s"
  UBSAN_OPTIONS=print_stacktrace=1 ASAN_OPTIONS=detect_leaks=1 \
    "build-fuzz/bin/fuzz_$name" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=1024 \
    -print_final_stats=1 -artifact_prefix="build-fuzz/findings/$name-" \
    "$scratch/$name" "fuzz/corpus/$name" 2>&1 | grep -E '^(stat::number_of_executed_units|#[0-9]+ +DONE)|ERROR|SUMMARY|==[0-9]+==' || true
  if compgen -G "build-fuzz/findings/$name-*" >/dev/null; then
    echo "fuzz_$name found a fault; the input is in build-fuzz/findings" >&2
    exit 1
  fi
done
