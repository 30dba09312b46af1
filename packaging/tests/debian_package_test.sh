#!/bin/bash
# Builds the Debian package and checks that it carries the same tree as the
# install and the declared dependencies.
set -euo pipefail
build=$1 security=$2
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
cpack --config "$build/CPackConfig.cmake" -B "$out" >/dev/null
deb=$(ls "$out"/*.deb)
files=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $NF}' | sed 's|^\./||' | sort)
for f in "usr/$security/pam_brud.so" "usr/$security/pam_tamlo.so" "usr/$security/pam_suqvo.so"; do
  grep -qx "$f" <<<"$files" || { echo "package lacks $f"; echo "$files"; exit 1; }
done
if grep -q 'libqvo' <<<"$files"; then echo "package ships a libqvo stand-in"; exit 1; fi
depends=$(dpkg-deb -f "$deb" Depends)
for d in libpam0g libcrypt1; do
  grep -q "$d" <<<"$depends" || { echo "Depends lacks $d: $depends"; exit 1; }
done
description=$(dpkg-deb -f "$deb" Description)
grep -q 'libqvo.so.0' <<<"$description" || { echo "description does not mention libqvo.so.0"; exit 1; }
echo "package ok: $(basename "$deb")"
