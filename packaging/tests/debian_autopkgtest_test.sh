#!/bin/bash
# Runs the package's autopkgtests against the built packages, installed by
# dpkg in a private mount namespace whose /usr, /var and /etc are throw-away
# overlays: dpkg checks the dependencies against the host's package database
# and puts the modules where libpam looks for them, and nothing reaches the
# host.  libpam-vesnar goes in first, alone, on this system without
# libqvo.so.0; then the rest.  The stand-ins come from this build tree.
set -euo pipefail
if [ "$(id -u)" -ne 0 ]; then
  echo "skipped: the autopkgtest of the modules needs root"
  exit 77
fi
debs=$(realpath "$1") build=$(realpath "$2") src=$(realpath "$3")
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
unshare --mount --propagation private bash -euc '
  debs=$1 build=$2 src=$3 scratch=$4
  mount -t tmpfs layers "$scratch"
  for d in usr var etc; do
    mkdir -p "$scratch/$d/upper" "$scratch/$d/work"
    mount -t overlay packages \
      -o "lowerdir=/$d,upperdir=$scratch/$d/upper,workdir=$scratch/$d/work" "/$d"
  done
  install() {
    dpkg --no-triggers -i "$@" >"$scratch/dpkg.log" 2>&1 || { cat "$scratch/dpkg.log"; exit 1; }
  }
  cd "$src"
  install "$debs"/libpam-vesnar_*.deb
  debian/tests/installed-modules --without-libqvo "$build"
  install "$debs"/libpam-vesnar-suqvo_*.deb "$debs"/libpam-vesnar-dev_*.deb
  debian/tests/installed-modules "$build"
  packaging/tests/json_pkg_config_test.sh' _ "$debs" "$build" "$src" "$scratch"
