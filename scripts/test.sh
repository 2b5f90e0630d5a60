#!/usr/bin/env bash
# Builds and runs every test: the Linux build, the same tests under address and undefined
# behaviour sanitizers, the Windows build of the tests (simulated boards) under Wine, and the
# release Halvex.dll (kernel driver backend) loaded under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

jobs=$(nproc)
step() { printf '\n==== %s ====\n' "$*"; }

step "Linux: build and test"
cmake -S . -B build/linux -G Ninja -DCMAKE_BUILD_TYPE=Debug -DHALVEX_WERROR=ON -DHALVEX_TESTS=ON -DHALVEX_BENCH=ON >/dev/null
cmake --build build/linux -j "$jobs"
ctest --test-dir build/linux --output-on-failure -j "$jobs"

step "Linux: address and undefined-behaviour sanitizers"
cmake -S . -B build/sanitize -G Ninja -DCMAKE_BUILD_TYPE=Debug -DHALVEX_WERROR=ON -DHALVEX_TESTS=ON \
      -DHALVEX_SANITIZE=address,undefined -DHALVEX_TOOLS=OFF >/dev/null
cmake --build build/sanitize -j "$jobs"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build/sanitize --output-on-failure -j "$jobs"

step "Linux: thread sanitizer, streaming tests"
cmake -S . -B build/tsan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DHALVEX_WERROR=ON -DHALVEX_TESTS=ON \
      -DHALVEX_SANITIZE=thread -DHALVEX_TOOLS=OFF >/dev/null
cmake --build build/tsan -j "$jobs"
TSAN_OPTIONS=halt_on_error=1 \
  ctest --test-dir build/tsan --output-on-failure -j "$jobs" -R 'Stream|ChunkPool|Acquire|SimDma|WorkerThread|LogThread|Extension|Win32|Replay' \
    -E 'DamagedAndRandomFiles'

scripts/test-windows.sh
echo
echo "All tests passed."
