#!/bin/bash
# Builds the Debian packages from a copy of the source tree.  Tests are off,
# since the suite that builds the package is the one that runs them, and the
# build takes one job, since ctest runs other tests beside it.
set -euo pipefail
src=$1 out=$2
. "$(dirname "$0")/source_tree.sh"
rm -rf "$out"
source_tree "$src" "$out/src"
if ! (cd "$out/src" && DEB_BUILD_OPTIONS="nocheck parallel=1" DEB_BUILD_PROFILES=nocheck \
        dpkg-buildpackage -us -uc -b) >"$out/build.log" 2>&1; then
  tail -40 "$out/build.log"
  exit 1
fi
rm -rf "$out/src"
ls "$out"
