#!/usr/bin/env bash
# Builds Ampwarden and runs every test: the unit and end-to-end tests, the Debian packages built
# with dpkg-buildpackage (scripts/build-deb.sh, into build/debian-src) with lintian and
# hardening-check on them (scripts/check-deb.sh) and installed in the whole-system test, the tools
# on real kernels in QEMU guests (tests/kernel; the kernel is downloaded once and kept in
# /var/cache/ampwarden-test), then the unit and end-to-end tests
# once more under AddressSanitizer and UndefinedBehaviorSanitizer, then each fuzzer briefly;
# last, this command and the walk-through again in a minimal Debian 12 root, as on a newcomer's
# fresh machine.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh

jobs=$(nproc)
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DAMPWARDEN_WERROR=ON
cmake --build build -j"$jobs"
ctest --test-dir build --output-on-failure --timeout 600

# The unit tests, and the end-to-end tests against the sanitized helper and tools (about a
# minute; the package and install tests only repackage what the first build checked, and the
# guests' test runs the first build's programs on real kernels).
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DAMPWARDEN_SANITIZE=ON \
  -DAMPWARDEN_E2E=ON -DAMPWARDEN_BENCH=OFF -DAMPWARDEN_WERROR=ON
cmake --build build-asan -j"$jobs"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build-asan --output-on-failure --timeout 600 -E 'e2e\.test_(package|install)|package\.|system\.|kernel\.'

# A few seconds per decoder; scripts/fuzz.sh 600 is the longer run.
bash scripts/fuzz.sh 10

# The README's two commands as a newcomer meets them, on a machine with nothing but root
# (scripts/fresh-debian.sh); not again inside that root itself.
if [[ -z ${AMPWARDEN_IN_FRESH_ROOT:-} ]]; then
  bash scripts/fresh-debian.sh demo test
fi
