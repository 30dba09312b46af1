#!/bin/bash
# Runs the package's autopkgtests against the built packages, installed in a
# private mount namespace: /usr is an overlay of the unpacked packages on the
# host's /usr, so the modules lie where libpam looks for them, and only there.
# The stand-ins come from this build tree.
set -euo pipefail
if [ "$(id -u)" -ne 0 ]; then
  echo "skipped: the autopkgtest of the modules needs root"
  exit 77
fi
debs=$(realpath "$1") build=$(realpath "$2") src=$(realpath "$3")
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
for deb in "$debs"/libpam-vesnar_*.deb "$debs"/libpam-vesnar-dev_*.deb; do dpkg -x "$deb" "$root"; done
unshare --mount --propagation private bash -euc '
  root=$1 build=$2 src=$3
  mount -t overlay packages -o "lowerdir=$root/usr:/usr" /usr
  cd "$src"
  debian/tests/installed-modules "$build"
  packaging/tests/json_pkg_config_test.sh' _ "$root" "$build" "$src"
