#!/usr/bin/env bash
# Installs what is missing, builds in Release and runs the benchmark.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh build
scripts/build.sh build -DBUILD_TESTING=OFF -DHASHBENCH_MICROBENCH=OFF -DHASHBENCH_LAB=OFF >/dev/null
exec build/hashbench
