#!/bin/sh
# Fails when the shared library exports a symbol that is not part of its public surface: the
# three names of each export-table entry, the Win32 layer's functions, the simulated-bus API
# (halvex::sim), its C interface (HXSIM_*) and the HxTest* life-cycle entries.
# With the simulator's C header as well, each HXSIM_ function it declares must be exported.
# Usage: check-exports.sh <nm> <c++filt> <library> <ExportTable.inc> <posix windows.h> [sim_c.h]
set -eu
nm=$1 cxxfilt=$2 library=$3 table=$4 winheader=$5 simheader=${6:-}

allowed=$(mktemp)
exported=$(mktemp)
trap 'rm -f "$allowed" "$exported"' EXIT

sed -n 's/^[[:space:]]*HX_EXPORT([^,]*,[[:space:]]*\([A-Za-z_][A-Za-z0-9_]*\)[[:space:]]*,.*/\1\n_\1\nVB\1/p' "$table" >"$allowed"
if [ "$(wc -l <"$allowed")" -eq 0 ]; then
  echo "check-exports: no entries read from $table" >&2
  exit 1
fi
# Declarations may span lines; join the header first.
tr '\n' ' ' <"$winheader" | grep -o 'WINBASEAPI[^;(]*WINAPI[[:space:]]*[A-Za-z_][A-Za-z0-9_]*[[:space:]]*(' |
  sed 's/.*WINAPI[[:space:]]*\([A-Za-z_][A-Za-z0-9_]*\)[[:space:]]*(/\1/' >>"$allowed"

"$nm" -D --defined-only --format=posix "$library" | cut -d' ' -f1 | sort -u >"$exported"
if [ "$(wc -l <"$exported")" -eq 0 ]; then
  echo "check-exports: $library exports nothing" >&2
  exit 1
fi

bad=0
while read -r symbol; do
  if grep -qxF "$symbol" "$allowed"; then continue; fi
  case $symbol in HxTest* | HXSIM_*) continue ;; esac
  demangled=$(printf '%s\n' "$symbol" | "$cxxfilt")
  case $demangled in halvex::sim::*) continue ;; esac
  echo "unexpected export: $symbol${demangled:+ ($demangled)}"
  bad=1
done <"$exported"

missing=0
while read -r name; do
  [ -n "$name" ] || continue
  grep -qxF "$name" "$exported" || { echo "not exported: $name"; missing=1; }
done <<EOF2
$(sed -n 's/^[[:space:]]*HX_EXPORT([^,]*,[[:space:]]*\([A-Za-z_][A-Za-z0-9_]*\)[[:space:]]*,.*/\1\n_\1\nVB\1/p' "$table")
$(if [ -n "$simheader" ]; then grep -o 'HXSIM_[A-Za-z0-9_]*(' "$simheader" | tr -d '('; fi)
EOF2

[ $bad -eq 0 ] && [ $missing -eq 0 ] && echo "check-exports: $(wc -l <"$exported") exported symbols, all expected"
[ $bad -eq 0 ] && [ $missing -eq 0 ]
