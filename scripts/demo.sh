#!/usr/bin/env bash
# The walk-through for a newcomer: builds Ampwarden into ./build, then runs the real helper
# against the emulated SMC on a private bus with a fake login manager, and tries every command
# with ampwardenctl, showing the answers and the SMC keys each one changed. Run it as root on
# Debian 12. It touches neither the system bus nor the installed system, and stops everything
# it started at the end, also on failure or Ctrl-C (scripts/walkthrough.py sees to that).
set -euo pipefail
cd "$(dirname "$0")/.."

if [[ $(id -u) -ne 0 ]]; then
  echo "demo.sh: run it as root (the helper is a root service)" >&2
  exit 1
fi

bash scripts/install-deps.sh

echo "Building the programs into ./build (log: build/demo-build.log) ..."
mkdir -p build
if ! { cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo &&
       cmake --build build -j"$(nproc)" --target ampwarden ampwardenctl ampwarden-smc \
         ampwarden-smc-emulator; } >build/demo-build.log 2>&1; then
  tail -n 30 build/demo-build.log >&2
  echo "demo.sh: the build failed; the whole log is build/demo-build.log" >&2
  exit 1
fi

exec /usr/bin/python3 scripts/walkthrough.py build/bin
