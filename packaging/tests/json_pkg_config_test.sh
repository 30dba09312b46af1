#!/bin/bash
# Builds a C program with the flags that `pkg-config pam_brud_json` gives and
# runs it: the flags must reach pam_brud.so by its run path alone.
#
#   json_pkg_config_test.sh                      the installed system (the
#                                                autopkgtest of libpam-vesnar-dev)
#   json_pkg_config_test.sh BUILD                a build tree, installed into a
#                                                scratch DESTDIR first
#   json_pkg_config_test.sh --root ROOT MODDIR   packages installed under ROOT,
#                                                the modules in ROOT/MODDIR
# With a root, the .pc file is taken from there, its prefix moved into it.
set -euo pipefail
here=$(dirname "$(realpath "$0")")
cc=${CC:-cc}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
pkg_config=(pkg-config)
root=
if [ "${1-}" = --root ]; then
  root=$(realpath "$2") security_rel=$3
elif [ $# -ge 1 ]; then
  root=$work/root
  security_rel=usr/$(sed -n 's/^PAMX_SECURITY_DIR:STRING=//p' "$1/CMakeCache.txt")
  DESTDIR=$root cmake --install "$1" --prefix /usr >/dev/null
else
  security_rel=usr/lib/$("$cc" -print-multiarch)/security
fi
if [ -n "$root" ]; then
  export PKG_CONFIG_LIBDIR
  PKG_CONFIG_LIBDIR=$(dirname "$(find "$root" -name pam_brud_json.pc)")
  pkg_config+=(--define-variable=prefix="$root/usr")
fi
security=$root/$security_rel

flags=$("${pkg_config[@]}" --cflags --libs pam_brud_json)
# shellcheck disable=SC2086  # the flags are words
"$cc" -Wall -Wextra -Werror -o "$work/roundtrip" "$here/json_roundtrip.c" $flags
unset LD_LIBRARY_PATH
found=$(ldd "$work/roundtrip" | awk '$1 == "pam_brud.so" {print $3}')
if [ "$found" != "$security/pam_brud.so" ]; then
  echo "pam_brud.so resolves to '$found', not $security/pam_brud.so (flags: $flags)"
  exit 1
fi
"$work/roundtrip"
echo "pkg-config pam_brud_json ok: $flags"
