#!/usr/bin/env bash
# Installs the programs two ways and runs them away from the source checkout:
#   1. cmake --install into a temporary prefix: every program has a manual page that man renders;
#   2. lintian on the Debian package: nothing but the accepted exception;
#   3. the package, with apt-get, run from PATH: the exact-report check of one complete hashbench
#      run, hashlab on 10,000 keys, hashreport on that report, `man hashlab`, Tab completion;
#      then removed again.
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
for program in prefix/bin/*; do
  page=prefix/share/man/man1/$(basename "$program").1.gz
  [[ -f $page ]] || { echo "test_package.sh: no manual page for $(basename "$program")" >&2; exit 1; }
  warnings=$(MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)
  [[ -z $warnings ]] || { echo "test_package.sh: man -l $page: $warnings" >&2; exit 1; }
done

echo "== lintian $deb"
# The maintainer's address is a placeholder until the project has a public home: lintian calls it a
# bogus mail host, in the control file and in the changelog. That is the one accepted finding.
lintian "$repo/$deb" 2>&1 | grep -E '^[EW]: ' | grep -vE '^E: hashbench: bogus-mail-host(-in-debian-changelog)? ' \
  > "$work/lintian.txt" || true
if [[ -s $work/lintian.txt ]]; then
  cat "$work/lintian.txt" >&2
  echo "test_package.sh: lintian found the above" >&2
  exit 1
fi

echo "== $deb with apt-get, from PATH"
$sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y "$repo/$deb" >"$work/apt.log" 2>&1 ||
  { tail -n 20 "$work/apt.log" >&2; exit 1; }
[[ $(command -v hashbench) == /usr/bin/hashbench ]]
python3 "$repo/tests/report_test.py" run "$(command -v hashbench)" > report.txt
hashlab --keys decimal:10000 >/dev/null
hashreport report.txt
man hashlab | grep -q "hashlab check" || { echo "test_package.sh: man hashlab does not show the page" >&2; exit 1; }
python3 "$repo/tests/completion_test.py" /usr/share/bash-completion/completions/hashlab /usr/bin
$sudo apt-get remove -y hashbench >/dev/null
echo "test_package.sh: the package installs, runs from PATH and is removed"
