#!/bin/bash
# Builds a C program with the flags that `pkg-config pam_brud_json` gives and
# runs it: the flags must reach pam_brud.so by its run path alone.  Given a
# build tree, it first installs that into a scratch DESTDIR and takes the .pc
# file from there, with its prefix moved into it; without, it uses the
# installed system (the autopkgtest of libpam-vesnar-dev).
set -euo pipefail
here=$(dirname "$(realpath "$0")")
cc=${CC:-cc}
security_rel=usr/lib/$("$cc" -print-multiarch)/security
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
pkg_config=(pkg-config)
if [ $# -ge 1 ]; then
  root=$work/root
  DESTDIR=$root cmake --install "$1" --prefix /usr >/dev/null
  export PKG_CONFIG_LIBDIR
  PKG_CONFIG_LIBDIR=$(dirname "$(find "$root" -name pam_brud_json.pc)")
  pkg_config+=(--define-variable=prefix="$root/usr")
  security=$root/$security_rel
else
  security=/$security_rel
fi

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
