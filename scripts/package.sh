#!/usr/bin/env bash
# Builds the Debian package: build-package/hashbench_<version>_amd64.deb, installing to /usr.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh build lab test package
scripts/build.sh build-package -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF -DHASHBENCH_MICROBENCH=ON \
  -DHASHBENCH_LAB=ON -DHASHBENCH_WERROR=ON
rm -f build-package/hashbench_*_amd64.deb  # a package of an earlier version would be listed too
(cd build-package && cpack -G DEB >/dev/null)
ls build-package/hashbench_*_amd64.deb
