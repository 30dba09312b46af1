#!/bin/bash
# The built packages installed and their modules loaded through the real
# libpam by the package's own test (debian/tests/installed-modules), in the
# same two steps for either format: first the main package alone, on this
# system without libqvo.so.0, then the rest; then a program built against
# the installed development package.  The stand-ins come from this build
# tree.
#
#   deb: installed by dpkg in a private mount namespace whose /usr, /var and
#        /etc are throw-away overlays, so that dpkg checks the dependencies
#        against the host's package database and puts the modules where
#        libpam looks for them, and nothing reaches the host.
#   rpm: installed by rpm under a root of their own (--nodeps: Debian's rpm
#        database is empty), and named by absolute paths in the stacks.
#
#   packages_installed_test.sh deb|rpm DIR BUILD SRC
set -euo pipefail
if [ "$(id -u)" -ne 0 ]; then
  echo "skipped: loading the installed modules needs root"
  exit 77
fi
format=$1 dir=$(realpath "$2") build=$(realpath "$3") src=$(realpath "$4")
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cd "$src"
case $format in
  deb)
    unshare --mount --propagation private bash -euc '
      dir=$1 build=$2 scratch=$3
      mount -t tmpfs layers "$scratch"
      for d in usr var etc; do
        mkdir -p "$scratch/$d/upper" "$scratch/$d/work"
        mount -t overlay packages \
          -o "lowerdir=/$d,upperdir=$scratch/$d/upper,workdir=$scratch/$d/work" "/$d"
      done
      install() {
        dpkg --no-triggers -i "$@" >"$scratch/dpkg.log" 2>&1 || { cat "$scratch/dpkg.log"; exit 1; }
      }
      install "$dir"/libpam-vesnar_*.deb
      debian/tests/installed-modules --without-libqvo "$build"
      install "$dir"/libpam-vesnar-suqvo_*.deb "$dir"/libpam-vesnar-dev_*.deb
      debian/tests/installed-modules "$build"
      packaging/tests/json_pkg_config_test.sh' _ "$dir" "$build" "$scratch" ;;
  rpm)
    [ -d "$dir/RPMS" ] || { echo "skipped: no RPMs were built (rpm_package_build says why)"; exit 77; }
    # Under the build tree, which the sandbox keeps visible.
    root=$(mktemp -d "$build/rpm-root.XXXXXX")
    trap 'rm -rf "$scratch" "$root"' EXIT
    install() {
      rpm --root "$root" --nodeps -i "$@" >"$scratch/rpm.log" 2>&1 || { cat "$scratch/rpm.log"; exit 1; }
    }
    rpms=("$dir"/RPMS/*)
    install "$rpms"/vesnar-pam-[0-9]*.rpm
    debian/tests/installed-modules --without-libqvo --module-dir "$root/usr/lib64/security" "$build"
    install "$rpms"/vesnar-pam-suqvo-[0-9]*.rpm "$rpms"/vesnar-pam-devel-[0-9]*.rpm
    debian/tests/installed-modules --module-dir "$root/usr/lib64/security" "$build"
    packaging/tests/json_pkg_config_test.sh --root "$root" usr/lib64/security ;;
  *) echo "usage: $0 deb|rpm DIR BUILD SRC"; exit 2 ;;
esac
