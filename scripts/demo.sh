#!/usr/bin/env bash
# Builds hxcli and the library, then shows them at work on the default simulated boards.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh demo

cmake -S . -B build/demo -G Ninja -DCMAKE_BUILD_TYPE=Release -DHALVEX_TESTS=OFF >/dev/null
cmake --build build/demo -j "$(nproc)" --target hxcli >/dev/null
hx=build/demo/tools/hxcli/hxcli

run() { printf '\n$ hxcli %s\n' "$*"; "$hx" "$@"; }

run bus
run list
run reg read 1 12
run stream --board 1 --rate 100000 --channels 4 --range 5V --type volts --seconds 1 --quiet
