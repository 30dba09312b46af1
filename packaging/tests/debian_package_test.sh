#!/bin/bash
# Checks the built Debian packages: their files, their fields, stripped
# modules with their debug symbols beside them, and that unpacking them gives
# the tree that `cmake --install` gives.
set -euo pipefail
debs=$1 build=$2 security=$3 includedir=$4 mandir=$5
pkg=$(ls "$debs"/libpam-vesnar_*.deb)
suqvo=$(ls "$debs"/libpam-vesnar-suqvo_*.deb)
dev=$(ls "$debs"/libpam-vesnar-dev_*.deb)
check=$(ls "$debs"/vesnar-pam-check_*.deb)
check_dbg=$(ls "$debs"/vesnar-pam-check-dbgsym_*.deb)
dbg=$(ls "$debs"/libpam-vesnar-dbgsym_*.deb)
suqvo_dbg=$(ls "$debs"/libpam-vesnar-suqvo-dbgsym_*.deb)
status=0
fail() { echo "$*"; status=1; }
files() { dpkg-deb --fsys-tarfile "$1" | tar -t | grep -v '/$' | sed 's|^\./||' | sort; }
same() {  # same WHAT EXPECTED ACTUAL
  [ "$2" = "$3" ] || { fail "$1 differs:"; diff <(echo "$2") <(echo "$3") || true; }
}

modules="usr/$security/pam_brud.so usr/$security/pam_suqvo.so usr/$security/pam_tamlo.so"
pc="usr/$(dirname "$security")/pkgconfig/pam_brud_json.pc"
same "libpam-vesnar's file list" "$(printf '%s\n' "usr/$security/pam_brud.so" "usr/$security/pam_tamlo.so" \
  usr/share/doc/libpam-vesnar/changelog.gz usr/share/doc/libpam-vesnar/copyright \
  "usr/$mandir/man8/pam_brud.8.gz" "usr/$mandir/man8/pam_tamlo.8.gz" | sort)" \
  "$(files "$pkg")"
same "vesnar-pam-check's file list" "$(printf '%s\n' usr/sbin/vesnar-pam-check \
  usr/share/doc/vesnar-pam-check/changelog.gz usr/share/doc/vesnar-pam-check/copyright \
  "usr/$mandir/man8/vesnar-pam-check.8.gz" | sort)" \
  "$(files "$check")"
same "libpam-vesnar-suqvo's file list" "$(printf '%s\n' "usr/$security/pam_suqvo.so" \
  usr/share/doc/libpam-vesnar-suqvo/changelog.gz usr/share/doc/libpam-vesnar-suqvo/copyright \
  "usr/$mandir/man8/pam_suqvo.8.gz" | sort)" \
  "$(files "$suqvo")"
same "libpam-vesnar-dev's file list" "$(printf '%s\n' "usr/$includedir/pam_brud/json.h" "$pc" \
  usr/share/doc/libpam-vesnar-dev/changelog.gz usr/share/doc/libpam-vesnar-dev/copyright | sort)" \
  "$(files "$dev")"

field() { dpkg-deb -f "$1" "$2"; }
version=$(field "$pkg" Version)
for p in "$pkg" "$suqvo"; do
  same "fields of $(field "$p" Package)" "admin same $(dpkg --print-architecture)" \
    "$(field "$p" Section) $(field "$p" Multi-Arch) $(field "$p" Architecture)"
done
# The check is a program, not a library: one package for every architecture.
same "fields of vesnar-pam-check" "admin foreign $(dpkg --print-architecture)" \
  "$(field "$check" Section) $(field "$check" Multi-Arch) $(field "$check" Architecture)"
same "what libpam-vesnar recommends" "vesnar-pam-check" "$(field "$pkg" Recommends)"
same "dependency of libpam-vesnar-dev" "libpam-vesnar (= $version)" "$(field "$dev" Depends)"
same "dependency of libpam-vesnar-dbgsym" "libpam-vesnar (= $version)" "$(field "$dbg" Depends)"
same "dependency of libpam-vesnar-suqvo-dbgsym" "libpam-vesnar-suqvo (= $version)" "$(field "$suqvo_dbg" Depends)"
# Run-time dependencies come from the modules themselves: libc, libpam and
# libcrypt, and neither the C++ runtime nor libqvo, which no package provides.
libraries() { field "$1" Depends | tr ',' '\n' | sed 's/^ *//; s/ .*//' | sort | xargs; }
same "libraries libpam-vesnar depends on" "libc6 libcrypt1 libpam0g" "$(libraries "$pkg")"
same "libraries libpam-vesnar-suqvo depends on" "libc6 libpam0g" "$(libraries "$suqvo")"
same "libraries vesnar-pam-check depends on" "libc6" "$(libraries "$check")"
says() {  # says PACKAGE TEXT...: its description holds each TEXT
  local p=$1 description
  description=$(field "$p" Description | tr -s " \n" "  ")
  shift
  for text in "$@"; do
    grep -qF "$text" <<<"$description" || fail "the description of $(basename "$p") does not say: $text"
  done
}
says "$pkg" pam_brud pam_tamlo "libpam-vesnar-suqvo"
says "$suqvo" pam_suqvo "libqvo.so.0" "which no Debian package provides" "no dependency"

root=$(mktemp -d)
dest=$(mktemp -d)
trap 'rm -rf "$root" "$dest"' EXIT
for deb in "$pkg" "$suqvo" "$dev" "$dbg" "$suqvo_dbg" "$check" "$check_dbg"; do dpkg -x "$deb" "$root"; done
# Each module is stripped, and its debug symbols are in the -dbgsym package
# under its build ID.
for so in $modules usr/sbin/vesnar-pam-check; do
  sections=$(readelf -SW "$root/$so")
  ! grep -qE '\.symtab|\.debug_info' <<<"$sections" || fail "$so is not stripped"
  id=$(readelf -n "$root/$so" | awk '/Build ID/ {print $3}')
  [ -n "$id" ] && [ -f "$root/usr/lib/debug/.build-id/${id:0:2}/${id:2}.debug" ] ||
    fail "no debug symbols for $so (build ID '$id')"
done

# The same tree as `cmake --install`, less the package's own documentation,
# with manual pages compressed and modules built with the distribution's flags.
DESTDIR=$dest cmake --install "$build" --prefix /usr >/dev/null
installed=$(cd "$dest" && find . -type f | sed 's|^\./||' | sort)
unpacked=$( (files "$pkg"; files "$suqvo"; files "$dev"; files "$check") | grep -v '^usr/share/doc/' | sed 's|\.gz$||' | sort)
same "tree of the packages and of cmake --install" "$installed" "$unpacked"
for f in $installed; do
  case $f in
    */security/*.so)
      exports() { nm -D --defined-only "$1" | awk '{print $NF}' | sort; }
      same "symbols exported by $f" "$(exports "$dest/$f")" "$(exports "$root/$f")" ;;
    usr/sbin/*)
      needed() { readelf -dW "$1" | awk '/NEEDED/ {print $NF}' | sort; }
      same "libraries $f needs" "$(needed "$dest/$f")" "$(needed "$root/$f")" ;;
    usr/$mandir/*) cmp -s "$dest/$f" <(zcat "$root/$f.gz") || fail "$f differs" ;;
    *) cmp -s "$dest/$f" "$root/$f" || fail "$f differs" ;;
  esac
done
[ $status -ne 0 ] || echo "packages ok:" $(for p in "$pkg" "$suqvo" "$dev" "$dbg" "$suqvo_dbg" "$check" "$check_dbg"; do basename "$p"; done)
exit $status
