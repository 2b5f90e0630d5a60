#!/usr/bin/env bash
# Makes sure everything the build, the tests and the demo need is installed. Run as root on a
# fresh Debian machine it installs what is missing with apt-get; otherwise it names what is
# missing and stops.
set -euo pipefail

# `setup.sh demo` installs only what the demo needs.
if [ "${1:-}" = "demo" ]; then
  packages=(cmake ninja-build g++ libcli11-dev python3 python3-numpy python3-matplotlib python3-h5py)
else
  packages=(cmake ninja-build g++ googletest libgtest-dev libbenchmark-dev libcli11-dev pkgconf
            python3 python3-numpy python3-matplotlib python3-pytest python3-h5py python3-tango
            g++-mingw-w64-x86-64-posix wine64)
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "setup: missing packages: ${missing[*]}" >&2
  echo "setup: run this as root, or: sudo apt-get install ${missing[*]}" >&2
  exit 1
fi
echo "setup: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq "${missing[@]}" >/dev/null
