#!/bin/bash
# Builds the source and binary RPMs from a copy of the source tree, as an
# EL9 build root would, with packaging/rpm/vesnar-pam.recipe as it is: the macro
# file beside this script gives this machine EL's macros and flags.  Debian's
# empty rpm database meets no BuildRequires, hence --nodeps.  Tests are off
# and the build takes one job, as for the Debian packages.  Its scriptlets go
# under the output folder, not the host's /var/tmp.
set -euo pipefail
src=$(realpath "$1") out=$(realpath -m "$2")
here=$(dirname "$(realpath "$0")")
rm -rf "$out"
if ! command -v rpmbuild >/dev/null; then
  echo "skipped: no rpmbuild on this machine (scripts/setup.sh installs rpm)"
  exit 77
fi
. "$here/source_tree.sh"
recipe=$src/packaging/rpm/vesnar-pam.recipe
nv=$(rpmspec -q --srpm --qf '%{name}-%{version}' "$recipe")
mkdir -p "$out/SOURCES" "$out/tmp"
source_tree "$src" "$out/$nv"
tar -C "$out" -czf "$out/SOURCES/$nv.tar.gz" "$nv"
rm -rf "$out/$nv"
if ! rpmbuild -ba --nodeps --without check --load "$here/el9.macros" \
       --define "_topdir $out" --define "_tmppath $out/tmp" --define "_smp_mflags -j1" "$recipe" >"$out/build.log" 2>&1; then
  tail -40 "$out/build.log"
  exit 1
fi
rm -rf "$out/BUILD" "$out/BUILDROOT" "$out/tmp"
(cd "$out" && ls SRPMS/*.rpm RPMS/*/*.rpm)
