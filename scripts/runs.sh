#!/usr/bin/env bash
# Runs the benchmark N times (default 5) and summarises the runs: medians, CSV, JSON and a chart.
# Usage: scripts/runs.sh [N] [OUTDIR]   (default OUTDIR: results), or hashbench-runs once installed
set -euo pipefail
if [[ ${1:-} == --help ]]; then
  cat <<'USAGE'
Usage: hashbench-runs [N] [OUTDIR]
Runs hashbench N times (default 5), keeps each report as OUTDIR/run-K.txt (default OUTDIR:
results), and summarises them with hashreport: the median, minimum and maximum seconds of every
case in OUTDIR/results.csv and OUTDIR/results.json, and a chart in OUTDIR/chart.png and chart.svg.
A run that fails (out of memory) is kept as far as it got and named on standard error.

Exit status: 0 the summary was written; 2 N is not a positive whole number; otherwise
hashreport's status (1 a report it cannot read, 4 an output it cannot write).
USAGE
  exit 0
fi
runs=${1:-5}
out=${2:-results}
[[ $runs =~ ^[1-9][0-9]*$ ]] || { echo "runs.sh: N must be a positive whole number, not '$runs'" >&2; exit 2; }
here=$(cd "$(dirname "$0")" && pwd)
if [[ -x $here/build.sh ]]; then  # in the source checkout: build first
  cd "$here/.."
  scripts/setup.sh build chart
  scripts/build.sh build -DBUILD_TESTING=OFF -DHASHBENCH_MICROBENCH=OFF -DHASHBENCH_LAB=OFF >/dev/null
  hashbench=build/hashbench hashreport=scripts/hashreport.py
else                              # installed: the programs beside it
  hashbench=$here/hashbench hashreport=$here/hashreport
fi
mkdir -p "$out"
reports=()
for ((k = 1; k <= runs; k++)); do
  echo "run $k of $runs" >&2
  "$hashbench" > "$out/run-$k.txt" || echo "runs.sh: run $k ended with status $? (kept what it wrote)" >&2
  reports+=("$out/run-$k.txt")
done
"$hashreport" --csv "$out/results.csv" --json "$out/results.json" \
  --chart "$out/chart.png" --chart "$out/chart.svg" "${reports[@]}"
echo "wrote $out/results.csv, $out/results.json, $out/chart.png and $out/chart.svg" >&2
