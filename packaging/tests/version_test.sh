#!/bin/bash
# One version: project(VERSION) is the one place, and the Debian changelog's
# latest entry, the RPM recipe and the pkg-config file all say the same.
set -euo pipefail
version=$1 src=$2 build=$3
status=0
same() {  # same WHERE VERSION
  [ "$2" = "$version" ] || { echo "$1 says '$2', project(VERSION) '$version'"; status=1; }
}
# The latest entry's version, without epoch and Debian revision; read
# without dpkg, which an RPM build's %check has not.
debian=$(sed -n '1s/^[^ ]* (\([^)]*\)).*/\1/p' "$src/debian/changelog")
debian=${debian#*:}
same debian/changelog "${debian%-*}"
same packaging/rpm/vesnar-pam.recipe \
  "$(sed -n 's/^Version:[[:space:]]*//p' "$src/packaging/rpm/vesnar-pam.recipe")"
same pam_brud_json.pc "$(PKG_CONFIG_LIBDIR=$build/packaging pkg-config --modversion pam_brud_json)"
[ $status -ne 0 ] || echo "version $version everywhere"
exit $status
