#!/usr/bin/env bash
# Installs the programs two ways and runs them away from the source checkout:
#   1. cmake --install into a temporary prefix;
#   2. the Debian package, with apt-get, run from PATH: the exact-report check of one complete
#      hashbench run, hashlab on 10,000 keys, hashreport on that report; then removed again.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD
deb=$(scripts/package.sh | tail -n 1)
work=$(mktemp -d)
sudo=""
[[ $(id -u) -eq 0 ]] || sudo="sudo"
trap 'rm -rf "$work"; $sudo apt-get remove -y hashbench >/dev/null 2>&1 || true' EXIT

echo "== cmake --install to a temporary prefix"
cmake --install build-package --prefix "$work/prefix" >/dev/null
cd "$work"
prefix/bin/hashlab --version
prefix/bin/hashreport --version
prefix/bin/hashlab --keys decimal:1000 --hash xxh3 >/dev/null
prefix/bin/hashreport --csv - "$repo/tests/data/report-1.txt" >/dev/null
test -f prefix/share/doc/hashbench/README.md

echo "== $deb with apt-get, from PATH"
$sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y "$repo/$deb" >"$work/apt.log" 2>&1 ||
  { tail -n 20 "$work/apt.log" >&2; exit 1; }
[[ $(command -v hashbench) == /usr/bin/hashbench ]]
python3 "$repo/tests/report_test.py" run "$(command -v hashbench)" > report.txt
hashlab --keys decimal:10000 >/dev/null
hashreport report.txt
$sudo apt-get remove -y hashbench >/dev/null
echo "test_package.sh: the package installs, runs from PATH and is removed"
