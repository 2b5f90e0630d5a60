#!/usr/bin/env bash
# The Windows side of the tests, run under Wine on Linux:
#   1. the library's test program built for Windows against the simulated boards, so the
#      library runs on the real Win32 API (as Wine provides it);
#   2. driver recordings made by that program replayed by the Linux one, and the reverse;
#   3. the release Halvex.dll (kernel driver backend): its imports, the driver backend against
#      real Windows I/O, loading the DLL the way an application does, under all three names of
#      every export, its version resource, and the SDK tree `cmake --install` makes of it.
# Needs what scripts/setup.sh installs; no display. Build folders are reused between runs.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

step() { printf '\n==== %s ====\n' "$*"; }
fail() { echo "test-windows: $*" >&2; exit 1; }

jobs=${HALVEX_JOBS:-$(nproc)}
toolchain=$root/cmake/mingw-w64-x86_64.cmake

# Debian's wine64 package keeps its loader in the wine library folder, off PATH.
wine=""
for candidate in "${WINE64:-}" /usr/lib/wine/wine64 "$(command -v wine64 || true)"; do
  if [ -n "$candidate" ] && [ -x "$candidate" ]; then wine=$candidate; break; fi
done
[ -n "$wine" ] || fail "no wine64 loader found (install wine64, or set WINE64)"
wineserver=""
for candidate in "$(dirname "$wine")/wineserver" /usr/lib/wine/wineserver64 "$(command -v wineserver || true)"; do
  if [ -n "$candidate" ] && [ -x "$candidate" ]; then wineserver=$candidate; break; fi
done
[ -n "$wineserver" ] || fail "no wineserver found next to $wine"

# A private, quiet, headless Wine: its own prefix, no Mono or Gecko installers, no display.
export WINEPREFIX=$root/build/wineprefix
export WINEARCH=win64
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree=;mshtml=;winemenubuilder.exe="
unset DISPLAY WAYLAND_DISPLAY
# The simulated boards take their set from this variable; the tests expect the default set.
unset HALVEX_SIM_BOARDS

step "Windows: Wine prefix"
# Made once; Wine itself brings an existing prefix up to date when its version changes. The
# mark is written last, so an interrupted set-up is done again.
if [ ! -f "$WINEPREFIX/.halvex-ready" ]; then
  rm -rf "$WINEPREFIX"
  mkdir -p "$WINEPREFIX"
  "$wine" wineboot -i >/dev/null 2>&1 || fail "wineboot could not create $WINEPREFIX"
  "$wineserver" -w
  touch "$WINEPREFIX/.halvex-ready"
fi
echo "prefix $WINEPREFIX ready ($wine)"

# Stop the wine server we used, whatever way the script ends, so no process outlives it.
trap '"$wineserver" -k >/dev/null 2>&1 || true' EXIT

configure() {  # build dir, then extra cmake arguments
  local dir=$1; shift
  cmake -S . -B "$dir" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DHALVEX_WERROR=ON \
        -DCMAKE_CROSSCOMPILING_EMULATOR="$wine" "$@" >/dev/null
}

step "Windows (simulated boards): build"
configure build/win-sim -DCMAKE_BUILD_TYPE=Debug -DHALVEX_BACKEND=sim
cmake --build build/win-sim -j "$jobs"

step "Windows (simulated boards): tests under Wine"
ctest --test-dir build/win-sim --output-on-failure -j 1

step "Driver recordings across builds: made under Wine, replayed on Linux, and the reverse"
# The Linux test program: the one scripts/test.sh built, else built here.
if [ ! -x build/linux/tests/halvex_tests ]; then
  cmake -S . -B build/linux -G Ninja -DCMAKE_BUILD_TYPE=Debug -DHALVEX_WERROR=ON -DHALVEX_TESTS=ON >/dev/null
  cmake --build build/linux -j "$jobs" --target halvex_tests
fi
cross=$root/build/cross-replay
rm -rf "$cross" && mkdir -p "$cross"
linux_tests=$root/build/linux/tests/halvex_tests
windows_tests=$root/build/win-sim/tests/halvex_tests.exe
cross_case() {  # side, variable, file, test
  local out
  if [ "$1" = windows ]; then
    out=$(cd "$cross" && env "$2=$3" "$wine" "$windows_tests" --gtest_filter="Replay.$4" 2>&1) || true
  else
    out=$(cd "$cross" && env "$2=$3" "$linux_tests" --gtest_filter="Replay.$4" 2>&1) || true
  fi
  grep -q "\[       OK \] Replay.$4" <<<"$out" || { echo "$out"; fail "$4 on $1 with $3"; }
  echo "$1: $4 ($3) passed"
}
cross_case windows HALVEX_CROSS_RECORD from-windows.hxrec CrossBuildRecordSession
cross_case linux HALVEX_CROSS_REPLAY from-windows.hxrec CrossBuildReplaySession
cross_case linux HALVEX_CROSS_RECORD from-linux.hxrec CrossBuildRecordSession
cross_case windows HALVEX_CROSS_REPLAY from-linux.hxrec CrossBuildReplaySession

step "Windows release (kernel driver backend): build Halvex.dll, hxcli.exe and the load tests"
configure build/win-release -DCMAKE_BUILD_TYPE=Release -DHALVEX_BACKEND=kernel
cmake --build build/win-release -j "$jobs" --target halvex halvex_load_tests halvex_kernel_port_tests \
  halvex_version_resource_tests hxcli

step "Windows release: imports, driver backend, load tests, version resource, SDK tree and hxcli.exe"
release_tests='^(halvex_dll_imports|halvex_kernel_port_tests|halvex_load_tests|halvex_version_resource_tests|halvex_sdk_tree|hxcli_windows_list_without_boards)$'
[ "$(ctest --test-dir build/win-release -N -R "$release_tests" | grep -c 'Test *#')" -eq 6 ] ||
  fail "build/win-release lacks one of the import check, the driver backend tests, the load tests, the version resource tests, the SDK tree check and the hxcli.exe check"
ctest --test-dir build/win-release --output-on-failure -R "$release_tests"

echo
echo "Windows tests passed."
