#!/usr/bin/env bash
# Runs the benchmark N times (default 5) and summarises the runs: medians, CSV, JSON and a chart.
# Usage: scripts/runs.sh [N] [OUTDIR]   (default OUTDIR: results)
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-5}
out=${2:-results}
[[ $runs =~ ^[1-9][0-9]*$ ]] || { echo "runs.sh: N must be a positive whole number, not '$runs'" >&2; exit 2; }
scripts/setup.sh build chart
scripts/build.sh build -DBUILD_TESTING=OFF -DHASHBENCH_MICROBENCH=OFF -DHASHBENCH_LAB=OFF >/dev/null
mkdir -p "$out"
reports=()
for ((k = 1; k <= runs; k++)); do
  echo "run $k of $runs" >&2
  build/hashbench > "$out/run-$k.txt" || echo "runs.sh: run $k ended with status $? (kept what it wrote)" >&2
  reports+=("$out/run-$k.txt")
done
scripts/hashreport.py --csv "$out/results.csv" --json "$out/results.json" \
  --chart "$out/chart.png" --chart "$out/chart.svg" "${reports[@]}"
echo "wrote $out/results.csv, $out/results.json, $out/chart.png and $out/chart.svg" >&2
