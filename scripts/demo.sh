#!/usr/bin/env bash
# Builds hxcli and the library, then shows them at work on the default simulated boards.
# The build tree is build/, the one the README compiles and links programs against; the demo's
# files go to build/demo.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh demo

say() { printf '\n== %s\n' "$*"; }
# Ninja prints one line a step; the first build takes a few minutes on two cores.
say "configuring build/ (Release, without the tests)"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release -DHALVEX_TESTS=OFF >/dev/null
say "building the library and hxcli in build/ (the first time takes a few minutes)"
cmake --build build -j "$(nproc)" --target halvex hxcli
hx=build/tools/hxcli/hxcli
mkdir -p build/demo

run() { printf '\n$ hxcli %s\n' "$*"; "$hx" "$@"; }
session() { printf '\n$ hxcli run --echo   # one library session, commands from standard input\n'; "$hx" run --echo; }

run bus
run list
run scan 0 --range 10V
run scan 1 --range 10V

# Wire input 7 of board 1 to analog output 2, drive the output and read it back; the library
# records its driver traffic meanwhile (HALVEX_RECORD), and hxcli --replay answers the same
# session from that recording, as a machine without boards would in CI.
mkdir -p build/demo
printf '\n$ HALVEX_RECORD=build/demo/session.hxrec hxcli run --echo\n'
HALVEX_RECORD=build/demo/session.hxrec "$hx" run --echo <<'EOF2'
source 1 0 7 loopback --output 2
dac out 1 2 2.5
read 1 0 7 --range 5V
EOF2
printf '\n$ hxcli --replay build/demo/session.hxrec run --echo\n'
"$hx" --replay build/demo/session.hxrec run --echo <<'EOF2'
dac out 1 2 2.5
read 1 0 7 --range 5V
EOF2

# --rate is samples per second per channel. Exactly a second of volts from board 1 at 25000
# samples/s on each of four channels (the board converts 100000 a second), a 50 Hz sine on the
# first; then exactly 1000 scans of two channels at 10000 samples/s each into build/demo/block.csv
# (metadata lines, then time_s,ch0,ch1).
session <<'EOF2'
source 1 0 0 sine --amplitude 2 --hertz 50
stream --board 1 --rate 25000 --channels 4 --range 5V --type volts --seconds 1 --quiet
block --board 1 --rate 10000 --channels 2 --range 5V --samples 1000 --csv build/demo/block.csv --quiet
EOF2

# Python: the package finds the library copied beside it; the demo draws two pictures, and
# `python3 -m halvex plot` a third.
cp -L build/libhalvex.so.0 python/halvex/libhalvex.so.0
python=python3
for candidate in /usr/bin/python3 python3; do
  if "$candidate" -c 'import numpy, matplotlib, h5py' 2>/dev/null; then python=$candidate; break; fi
done
python=$(command -v "$python")
say "Python: $python ($("$python" -c 'import sys; print(sys.version.split()[0])'))"
pictures=build/demo/pictures
py() { printf '\n$ %s %s\n' "$python" "$*"; PYTHONPATH=python PYTHONDONTWRITEBYTECODE=1 "$python" "$@"; }
py -m halvex boards
py python/examples/demo_plots.py "$pictures"
py -m halvex plot --board 2 --channels 4 --rate 25000 --duration 0.05 --range 10V -o "$pictures/plot.png"
py -m halvex plot build/demo/block.csv -o "$pictures/block.png"
py -m halvex record build/demo/recording.h5 --board 1 --rate 20000 --channels 2 --seconds 2 --range 5V --sine 5 --overwrite
py -m halvex plot build/demo/recording.h5 -o "$pictures/recording.png"
