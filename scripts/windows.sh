#!/usr/bin/env bash
# Cross-builds the 32-bit Windows executables and tests them under Wine: the unit tests, the hash
# reference check and one complete benchmark run whose report is checked line by line.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh build test windows

# Headless, quiet, and no prompts to install Wine's Mono or Gecko.
unset DISPLAY WAYLAND_DISPLAY
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
export WINEPREFIX=${WINEPREFIX:-$PWD/build-windows/wineprefix}
mkdir -p build-windows

echo "== Cross-building for i686-w64-mingw32"
scripts/build.sh build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake -DHASHBENCH_WERROR=ON \
  || { echo "windows.sh: the cross-build failed" >&2; exit 1; }

echo "== Starting Wine ($WINEPREFIX)"
wineboot --init >/dev/null 2>&1 || { echo "windows.sh: Wine could not set up its prefix" >&2; exit 1; }

echo "== Tests under Wine"
(cd build-windows && ctest --output-on-failure -V -R report_complete_run && ctest --output-on-failure -E report_complete_run) \
  || { echo "windows.sh: a test failed under Wine" >&2; exit 1; }
NM=i686-w64-mingw32-nm scripts/check_inlining.sh build-windows/hashbench.exe
