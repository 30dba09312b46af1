#!/bin/bash
# The build finds libpam and libxcrypt with and without their pkg-config
# files (EL8's pam-devel has no pam.pc): a module that uses the project's
# own lookup is configured and linked once with pkg-config's files hidden
# and once with them, says each time which way it found the libraries, and
# needs both.
set -euo pipefail
src=$1
here=$(dirname "$(realpath "$0")")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/no-pc-files"
status=0
expect() {  # expect WHAT TEXT OUTPUT
  grep -qF -- "$2" <<<"$3" || { echo "$1: no \"$2\" in:"; sed 's/^/    /' <<<"$3"; status=1; }
}
for way in hidden visible; do
  hide=()
  [ $way = visible ] || hide=(PKG_CONFIG_LIBDIR="$work/no-pc-files" PKG_CONFIG_PATH=)
  if ! out=$(env "${hide[@]}" cmake -S "$here/system_libraries" -B "$work/$way" \
               -DPAMX_SOURCE_DIR="$src" 2>&1) ||
     ! built=$(cmake --build "$work/$way" 2>&1); then
    echo "pkg-config files $way: the probe does not build:"; echo "$out" "${built-}"
    exit 1
  fi
  if [ $way = hidden ]; then
    expect "pam.pc hidden" "pam: no pkg-config file, so " "$out"
    expect "libxcrypt.pc hidden" "libxcrypt: no pkg-config file, so " "$out"
  else
    expect "pam.pc visible" "pam: from pkg-config" "$out"
    expect "libxcrypt.pc visible" "libxcrypt: from pkg-config" "$out"
  fi
  needed=$(readelf -dW "$work/$way/probe.so" | sed -n 's/.*Shared library: \[\(.*\)\]/\1/p' | xargs)
  grep -qE '(^| )libpam\.so\.0( |$)' <<<"$needed" && grep -qE '(^| )libcrypt\.so\.[0-9]+( |$)' <<<"$needed" ||
    { echo "pkg-config files $way: the probe needs only: $needed"; status=1; }
done
[ $status -ne 0 ] || echo "libpam and libxcrypt found with and without pkg-config"
exit $status
