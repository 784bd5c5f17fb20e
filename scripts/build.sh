#!/usr/bin/env bash
# Configures and builds into a build directory: scripts/build.sh DIR [cmake options...]
set -euo pipefail
cd "$(dirname "$0")/.."
dir=$1
shift
# The test suite builds the same sources several times (its builds, the package's): where ccache is
# installed (scripts/setup.sh test), a build reuses what an earlier one compiled alike.
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
cmake -S . -B "$dir" "${launcher[@]}" "$@" >/dev/null
cmake --build "$dir" -j"$(nproc)"
