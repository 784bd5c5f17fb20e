#!/usr/bin/env bash
# Cross-builds the 32-bit Windows executables and checks what needs no 32-bit process: the
# executables are 32-bit PE files and every hash is inlined. Then, where this kernel starts 32-bit
# programs, tests them under Wine: the unit tests, the hash reference check and one complete
# benchmark run whose report is checked line by line.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh build test windows

echo "== Cross-building for i686-w64-mingw32"
scripts/build.sh build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake -DHASHBENCH_WERROR=ON \
  || { echo "windows.sh: the cross-build failed" >&2; exit 1; }
mapfile -t executables < <(find build-windows -name '*.exe' -not -path '*/CMakeFiles/*')
[[ ${#executables[@]} -ge 2 ]] || { echo "windows.sh: the cross-build made no executables" >&2; exit 1; }
for exe in "${executables[@]}"; do
  i686-w64-mingw32-objdump -f "$exe" | grep -q "file format pei-i386" \
    || { echo "windows.sh: $exe is not a 32-bit Windows executable" >&2; exit 1; }
done
echo "windows.sh: ${executables[*]}: each a 32-bit Windows executable (pei-i386)"
NM=i686-w64-mingw32-nm scripts/check_inlining.sh build-windows/hashbench.exe

# Only a refusal by the kernel skips Wine: any other outcome of the probe leaves it to Wine to fail.
probe=0
scripts/runs_32bit.py || probe=$?
if [[ $probe -eq 1 ]]; then
  echo "32-bit Windows tests not run: this kernel refuses 32-bit programs (ia32 emulation off)"
  exit 0
fi

scripts/setup.sh wine
# Headless, quiet, and no prompts to install Wine's Mono or Gecko.
unset DISPLAY WAYLAND_DISPLAY
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
export WINEPREFIX=${WINEPREFIX:-$PWD/build-windows/wineprefix}

echo "== Starting Wine ($WINEPREFIX)"
wine_log=$(mktemp)
trap 'rm -f "$wine_log"' EXIT
if ! wineboot --init >"$wine_log" 2>&1; then
  first=$(grep -m 1 -iE "err|fail|cannot|could not|not " "$wine_log" || head -n 1 "$wine_log")
  echo "windows.sh: Wine could not set up its prefix: ${first:-wineboot printed nothing}" >&2
  exit 1
fi

echo "== Tests under Wine"
(cd build-windows && ctest --output-on-failure -V -R report_complete_run && ctest --output-on-failure -E report_complete_run) \
  || { echo "windows.sh: a test failed under Wine" >&2; exit 1; }
