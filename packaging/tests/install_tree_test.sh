#!/bin/bash
# Installs into a scratch DESTDIR and checks the tree: the three modules in
# the security directory, vesnar-pam-check in sbin, the header and its
# pkg-config file, the manual pages, and nothing else.
set -euo pipefail
build=$1 security=$2 includedir=$3 mandir=$4
dest=$(mktemp -d)
trap 'rm -rf "$dest"' EXIT
DESTDIR=$dest cmake --install "$build" --prefix /usr >/dev/null
expected=$(printf '%s\n' \
  "usr/$security/pam_brud.so" "usr/$security/pam_tamlo.so" "usr/$security/pam_suqvo.so" \
  "usr/$includedir/pam_brud/json.h" "usr/$(dirname "$security")/pkgconfig/pam_brud_json.pc" \
  "usr/$mandir/man8/pam_brud.8" "usr/$mandir/man8/pam_tamlo.8" "usr/$mandir/man8/pam_suqvo.8" \
  usr/sbin/vesnar-pam-check "usr/$mandir/man8/vesnar-pam-check.8" | sort)
actual=$(cd "$dest" && find . -type f -o -type l | sed 's|^\./||' | sort)
if [ "$expected" != "$actual" ]; then
  echo "installed tree differs:"; diff <(echo "$expected") <(echo "$actual") || true
  exit 1
fi
# Where this system's libpam looks for a module named without a path (its
# directory with a trailing slash: /lib/x86_64-linux-gnu/security/ on
# Debian, /usr/lib64/security/ on EL), through the merged /usr.
libpam=$(ldd "$dest/usr/$security/pam_tamlo.so" | awk '$1 == "libpam.so.0" {print $3}')
searched=$(strings -a "$libpam" | grep -m1 -x '/.*/security/' || true)
if [ -z "$searched" ] || [ "$(realpath -m "$searched")" != "$(realpath -m "/usr/$security")" ]; then
  echo "modules in /usr/$security, but $libpam looks in '$searched'"; exit 1
fi
for so in "$dest/usr/$security"/*.so "$dest/usr/sbin/vesnar-pam-check"; do
  dynamic=$(readelf -dW "$so")
  if grep -qE 'RPATH|RUNPATH' <<<"$dynamic"; then
    echo "$so carries a search path into the build tree"; exit 1
  fi
done
# The check needs nothing beyond libc (a sanitizer build's runtimes aside):
# no C++ runtime, no libqvo.so.0 (it is dlopen'ed), no libpam.
needed=$(readelf -dW "$dest/usr/sbin/vesnar-pam-check" | awk '/NEEDED/ {print $NF}' |
  grep -vE '^\[lib(asan|ubsan)\.' | xargs)
if [ "$needed" != "[libc.so.6]" ]; then
  echo "vesnar-pam-check needs more than libc: $needed"; exit 1
fi
echo "install tree ok"
