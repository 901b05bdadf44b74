#!/usr/bin/env bash
# Builds the Debian package of Pelorin, build/package/pelorin_<version>_<arch>.deb (installing the build
# and packaging tools that are missing first), and prints its path. Install it with
#     apt-get install ./build/package/pelorin_<version>_<arch>.deb
# The build date the programs report is the day of the last commit (SOURCE_DATE_EPOCH, unless set), so
# two builds of one commit give the same package.
set -euo pipefail
cd "$(dirname "$0")/.."

# dpkg-shlibdeps (dpkg-dev) finds the package's dependencies from the libraries the programs link against,
# and CPack's DEB generator picks the programs out for it with `file`.
bash scripts/deps.sh dpkg-dev file
if [ -z "${SOURCE_DATE_EPOCH:-}" ] && git rev-parse --git-dir >/dev/null 2>&1; then
    SOURCE_DATE_EPOCH=$(git log -1 --format=%ct)
    export SOURCE_DATE_EPOCH
fi

cmake --preset package >/dev/null
cmake --build --preset package -j "$(nproc 2>/dev/null || echo 2)"
(cd build/package && cpack -G DEB >/dev/null)
version=$(sed -n 's/^set(CPACK_PACKAGE_VERSION "\(.*\)")$/\1/p' build/package/CPackConfig.cmake)
deb="build/package/pelorin_${version}_$(dpkg --print-architecture).deb"
[ -f "$deb" ] || { echo "cpack did not write $deb" >&2; exit 1; }
echo "$deb"
