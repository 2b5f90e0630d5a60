#!/bin/sh
# Fails when the shared library exports a symbol that is not part of its public surface, or
# lacks one of the export tables' names: every name the build generated from the tables (one a
# line in <export list>), the Win32 layer's functions, the simulator's C interface (HXSIM_*) and
# the HxTest* life-cycle entries. Nothing with C++ linkage is exported (no mangled _Z name): the
# interface is C, and halvex/sim.h only calls it. With the simulator's C header as well, each
# HXSIM_ function it declares must be exported.
# Usage: check-exports.sh <nm> <c++filt> <library> <export list> <posix windows.h> [sim_c.h]
set -eu
nm=$1 cxxfilt=$2 library=$3 names=$4 winheader=$5 simheader=${6:-}

allowed=$(mktemp)
exported=$(mktemp)
others=$(mktemp)
demangled=$(mktemp)
required=$(mktemp)
trap 'rm -f "$allowed" "$exported" "$others" "$demangled" "$required"' EXIT

grep -v '^[[:space:]]*$' "$names" >"$required" || true
if [ "$(wc -l <"$required")" -eq 0 ]; then
  echo "check-exports: no names in $names" >&2
  exit 1
fi
if [ -n "$simheader" ]; then grep -o 'HXSIM_[A-Za-z0-9_]*(' "$simheader" | tr -d '(' | sort -u >>"$required"; fi
cp "$required" "$allowed"
# Declarations may span lines; join the header first.
tr '\n' ' ' <"$winheader" | grep -o 'WINBASEAPI[^;(]*WINAPI[[:space:]]*[A-Za-z_][A-Za-z0-9_]*[[:space:]]*(' |
  sed 's/.*WINAPI[[:space:]]*\([A-Za-z_][A-Za-z0-9_]*\)[[:space:]]*(/\1/' >>"$allowed"

"$nm" -D --defined-only --format=posix "$library" | cut -d' ' -f1 | sort -u >"$exported"
if [ "$(wc -l <"$exported")" -eq 0 ]; then
  echo "check-exports: $library exports nothing" >&2
  exit 1
fi

# Set differences, not a loop per symbol: the library exports a few hundred.
grep -vxF -f "$allowed" "$exported" | grep -v '^HxTest\|^HXSIM_\|^_Z' >"$others" || true
"$cxxfilt" <"$others" >"$demangled"
unexpected=$(paste -d '\n' "$others" "$demangled" | while read -r symbol && read -r plain; do
  echo "unexpected export: $symbol${plain:+ ($plain)}"
done)
cplusplus=$(grep '^_Z' "$exported" | sed 's/^/C++ symbol exported: /' || true)
[ -n "$cplusplus" ] && unexpected="$unexpected${unexpected:+
}$cplusplus"
missing=$(grep -vxF -f "$exported" "$required" | sed 's/^/not exported: /' || true)

[ -n "$unexpected" ] && echo "$unexpected"
[ -n "$missing" ] && echo "$missing"
[ -z "$unexpected" ] && [ -z "$missing" ] || exit 1
echo "check-exports: $(wc -l <"$exported") exported symbols, all expected"
