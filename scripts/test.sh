#!/usr/bin/env bash
# Installs what is missing and runs the whole test suite: the Release build's unit and report tests
# with warnings as errors.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh build test

echo "== Release build: unit tests and report tests"
scripts/build.sh build -DHASHBENCH_WERROR=ON
(cd build && ctest --output-on-failure)
