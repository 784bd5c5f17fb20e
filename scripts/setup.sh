#!/usr/bin/env bash
# Installs the Debian packages a task needs, only those that are missing.
# Usage: scripts/setup.sh [build] [test] [lab] [fuzz] [package] [windows] [wine] [chart] [mpi] ...
set -euo pipefail

declare -A groups=(
  [build]="g++ cmake make libxxhash-dev help2man"
  [test]="googletest libgtest-dev libbenchmark-dev python3 ccache"
  [fuzz]="clang libclang-rt-14-dev"
  [package]="dpkg-dev file lintian man-db"
  [windows]="g++-mingw-w64-i686"
  # Only where the kernel starts 32-bit programs (scripts/windows.sh asks it first).
  [wine]="wine wine32:i386"
  [lab]="libcli11-dev nlohmann-json3-dev libwyhash-dev libmurmurhash-dev libsodium-dev wamerican libabsl-dev libboost1.81-dev libfarmhash-dev libhighwayhash-dev libmetrohash-dev libtsl-hopscotch-map-dev libsparsehash-dev libhwy-dev"
  # python3-fonttools (under matplotlib) needs python3-scipy or python3-munkres; scipy pulls in
  # libboost-dev 1.74 through python3-pythran, which conflicts with libboost1.81-dev. With munkres
  # asked for, apt keeps matplotlib and lets go of scipy's chain when boost 1.81 comes in.
  [chart]="python3 python3-munkres python3-matplotlib"
  # hashlab collide across machines (optional at build time: -DHASHLAB_MPI=ON).
  [mpi]="libopenmpi-dev openmpi-bin"
)

for group in "${@:-build}"; do
  [[ -n "${groups[$group]+x}" ]] || { echo "setup.sh: unknown group '$group'" >&2; exit 2; }
done

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }

missing_packages() {
  for group in "$@"; do
    for pkg in ${groups[$group]}; do
      installed "$pkg" || echo "$pkg"
    done
  done
}

mapfile -t missing < <(missing_packages "${@:-build}")
[[ ${#missing[@]} -eq 0 ]] && exit 0

echo "setup.sh: installing ${missing[*]}"
sudo=""
[[ $(id -u) -eq 0 ]] || sudo="sudo"
if printf '%s\n' "${missing[@]}" | grep -q ':i386$' && ! dpkg --print-foreign-architectures | grep -qx i386; then
  $sudo dpkg --add-architecture i386
fi
log=$(mktemp)
apt=($sudo env DEBIAN_FRONTEND=noninteractive apt-get -y --no-install-recommends)
# On a machine where matplotlib came with scipy, the boost 1.74 headers are in, and apt will not
# swap them for 1.81 on its own: give fonttools munkres to lean on, then take 1.74 out (pythran
# and scipy go with it; matplotlib stays).
if printf '%s\n' "${missing[@]}" | grep -qx libboost1.81-dev && installed libboost1.74-dev; then
  echo "setup.sh: replacing libboost1.74-dev (pulled in by python3-scipy) with libboost1.81-dev"
  { $sudo apt-get update && "${apt[@]}" install python3-munkres && "${apt[@]}" remove libboost1.74-dev; } >"$log" 2>&1 ||
    { tail -n 30 "$log" >&2; echo "setup.sh: could not remove libboost1.74-dev (full log: $log)" >&2; exit 1; }
fi
if ! { $sudo apt-get update && "${apt[@]}" install "${missing[@]}"; } >"$log" 2>&1; then
  tail -n 30 "$log" >&2
  echo "setup.sh: could not install ${missing[*]} (full log: $log)" >&2
  exit 1
fi
rm -f "$log"

# A conflict resolved by removing packages may have taken one of ours: say so rather than fail later.
mapfile -t still < <(missing_packages "${@:-build}")
if [[ ${#still[@]} -ne 0 ]]; then
  echo "setup.sh: still not installed after apt-get: ${still[*]}" >&2
  exit 1
fi
