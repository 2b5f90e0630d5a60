#!/usr/bin/env bash
# Builds hxcli and the library, then shows them at work on the default simulated boards.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh demo

cmake -S . -B build/demo -G Ninja -DCMAKE_BUILD_TYPE=Release -DHALVEX_TESTS=OFF >/dev/null
cmake --build build/demo -j "$(nproc)" --target hxcli >/dev/null
hx=build/demo/tools/hxcli/hxcli

run() { printf '\n$ hxcli %s\n' "$*"; "$hx" "$@"; }
session() { printf '\n$ hxcli run --echo   # one library session, commands from standard input\n'; "$hx" run --echo; }

run bus
run list
run scan 0 --range 10V
run scan 1 --range 10V

# Wire input 7 of board 1 to analog output 2, drive the output and read it back.
session <<'EOF'
source 1 0 7 loopback --output 2
dac out 1 2 2.5
read 1 0 7 --range 5V
EOF

# Exactly a second of volts from board 1 at 100 kS/s over four channels (25000 samples per
# channel), a 50 Hz sine on the first; then exactly 1000 scans of two channels into
# build/demo/block.csv (metadata lines, then time_s,ch0,ch1).
session <<'EOF'
source 1 0 0 sine --amplitude 2 --hertz 50
stream --board 1 --rate 100000 --channels 4 --range 5V --type volts --seconds 1 --quiet
block --board 1 --rate 20000 --channels 2 --range 5V --samples 1000 --csv build/demo/block.csv --quiet
EOF

# Python: the package finds the library copied beside it; the demo draws two pictures, and
# `python3 -m halvex plot` a third.
cmake --build build/demo -j "$(nproc)" --target halvex >/dev/null
cp -L build/demo/libhalvex.so.0 python/halvex/libhalvex.so.0
python=python3
for candidate in /usr/bin/python3 python3; do
  if "$candidate" -c 'import numpy, matplotlib' 2>/dev/null; then python=$candidate; break; fi
done
pictures=build/demo/pictures
py() { printf '\n$ python3 %s\n' "$*"; PYTHONPATH=python PYTHONDONTWRITEBYTECODE=1 "$python" "$@"; }
py -m halvex boards
py python/examples/demo_plots.py "$pictures"
py -m halvex plot --board 2 --channels 4 --rate 25000 --duration 0.05 --range 10V -o "$pictures/plot.png"
py -m halvex plot build/demo/block.csv -o "$pictures/block.png"
