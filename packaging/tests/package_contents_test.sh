#!/bin/bash
# Checks the built packages of one format, Debian's or RPM, against one
# table: each package's files with their modes and the libraries it may
# need at run time; then, for both, stripped modules with their debug
# symbols in the debug packages under their build IDs and each module's
# exports as the build tree has them; then what one format alone has.
#
#   package_contents_test.sh deb DEBS BUILD SECURITY INCLUDEDIR MANDIR
#   package_contents_test.sh rpm RPMS BUILD
set -euo pipefail
format=$1 dir=$2 build=$3
security=${4-} includedir=${5-} mandir=${6-}
status=0
fail() { echo "$*"; status=1; }
same() {  # same WHAT EXPECTED ACTUAL
  [ "$2" = "$3" ] || { fail "$1 differs:"; diff <(echo "$2") <(echo "$3") || true; }
}

# package, then a file's mode and path, or "needs" and what it depends on
# (Debian: the packages of Depends; RPM: the sonames it requires, rpm's own
# rpmlib() and rtld() aside), as patterns.
table() {
  local d=usr/$security m=usr/$mandir/man8 doc=usr/share/doc
  cat <<EOF
deb libpam-vesnar        -rw-r--r-- $d/pam_brud.so
deb libpam-vesnar        -rw-r--r-- $d/pam_tamlo.so
deb libpam-vesnar        -rw-r--r-- $m/pam_brud.8.gz
deb libpam-vesnar        -rw-r--r-- $m/pam_tamlo.8.gz
deb libpam-vesnar        -rw-r--r-- $doc/libpam-vesnar/changelog.gz
deb libpam-vesnar        -rw-r--r-- $doc/libpam-vesnar/copyright
deb libpam-vesnar        needs      libc6 libcrypt1 libpam0g
deb libpam-vesnar-suqvo  -rw-r--r-- $d/pam_suqvo.so
deb libpam-vesnar-suqvo  -rw-r--r-- $m/pam_suqvo.8.gz
deb libpam-vesnar-suqvo  -rw-r--r-- $doc/libpam-vesnar-suqvo/changelog.gz
deb libpam-vesnar-suqvo  -rw-r--r-- $doc/libpam-vesnar-suqvo/copyright
deb libpam-vesnar-suqvo  needs      libc6 libpam0g
deb libpam-vesnar-dev    -rw-r--r-- usr/$includedir/pam_brud/json.h
deb libpam-vesnar-dev    -rw-r--r-- usr/$(dirname "$security")/pkgconfig/pam_brud_json.pc
deb libpam-vesnar-dev    -rw-r--r-- $doc/libpam-vesnar-dev/changelog.gz
deb libpam-vesnar-dev    -rw-r--r-- $doc/libpam-vesnar-dev/copyright
deb libpam-vesnar-dev    needs      libpam-vesnar
deb vesnar-pam-check     -rwxr-xr-x usr/sbin/vesnar-pam-check
deb vesnar-pam-check     -rw-r--r-- $m/vesnar-pam-check.8.gz
deb vesnar-pam-check     -rw-r--r-- $doc/vesnar-pam-check/changelog.gz
deb vesnar-pam-check     -rw-r--r-- $doc/vesnar-pam-check/copyright
deb vesnar-pam-check     needs      libc6
rpm vesnar-pam           -rwxr-xr-x usr/lib64/security/pam_brud.so
rpm vesnar-pam           -rwxr-xr-x usr/lib64/security/pam_tamlo.so
rpm vesnar-pam           -rw-r--r-- usr/share/man/man8/pam_brud.8.gz
rpm vesnar-pam           -rw-r--r-- usr/share/man/man8/pam_tamlo.8.gz
rpm vesnar-pam           -rwxr-xr-x usr/sbin/vesnar-pam-check
rpm vesnar-pam           -rw-r--r-- usr/share/man/man8/vesnar-pam-check.8.gz
rpm vesnar-pam           -rw-r--r-- $doc/vesnar-pam/rhel.md
rpm vesnar-pam           needs      libc.so.6 libcrypt.so.* libpam.so.0
rpm vesnar-pam-suqvo     -rwxr-xr-x usr/lib64/security/pam_suqvo.so
rpm vesnar-pam-suqvo     -rw-r--r-- usr/share/man/man8/pam_suqvo.8.gz
rpm vesnar-pam-suqvo     needs      libc.so.6 libpam.so.0
rpm vesnar-pam-devel     -rw-r--r-- usr/include/pam_brud/json.h
rpm vesnar-pam-devel     -rw-r--r-- usr/lib64/pkgconfig/pam_brud_json.pc
rpm vesnar-pam-devel     needs
EOF
}

case $format in
  deb)
    package() { ls "$dir/$1"_*.deb; }
    debug_packages=(libpam-vesnar-dbgsym libpam-vesnar-suqvo-dbgsym vesnar-pam-check-dbgsym)
    files() { dpkg-deb -c "$1" | awk '$1 !~ /^d/ {sub("^\\./", "", $6); print $1, $6}' | sort; }
    libraries() { dpkg-deb -f "$1" Depends | tr ',' '\n' | sed 's/^ *//; s/ .*//' | sort | xargs; }
    unpack() { dpkg -x "$1" "$2"; } ;;
  rpm)
    [ -d "$dir/RPMS" ] || { echo "skipped: no RPMs were built (rpm_package_build says why)"; exit 77; }
    package() { ls "$dir"/RPMS/*/"$1"-[0-9]*.rpm; }
    debug_packages=(vesnar-pam-debuginfo vesnar-pam-suqvo-debuginfo)
    query() { rpm -qp --qf "$1" "$2"; }
    # The build-id links beside the modules are checked with their symbols.
    files() {
      query '[%{FILEMODES:perms} %{FILENAMES}\n]' "$1" | awk '$1 !~ /^d/ {sub("^/", "", $2); print}' |
        grep -v ' usr/lib/\.build-id/' | sort
    }
    libraries() { rpm -qp --requires "$1" | grep '\.so' | sed 's/(.*//' | sort -u | xargs; }
    unpack() { rpm2archive -n - <"$1" | tar -x -C "$2"; } ;;
  *) echo "usage: $0 deb|rpm DIR BUILD [SECURITY INCLUDEDIR MANDIR]"; exit 2 ;;
esac

names=$(table | awk -v f="$format" '$1 == f {print $2}' | uniq)
for name in $names; do
  p=$(package "$name")
  same "$name's files" "$(table | awk -v f="$format" -v n="$name" '$1 == f && $2 == n && $3 != "needs" {print $3, $4}' | sort)" \
    "$(files "$p")"
  read -r -a expected <<<"$(table | awk -v f="$format" -v n="$name" '$1 == f && $2 == n && $3 == "needs" {$1 = $2 = $3 = ""; print}')"
  read -r -a actual <<<"$(libraries "$p")"
  ok=$(( ${#expected[@]} == ${#actual[@]} ))
  for i in "${!expected[@]}"; do
    # shellcheck disable=SC2053  # the table's entries are patterns
    [[ ${actual[i]-} == ${expected[i]} ]] || ok=0
  done
  [ $ok = 1 ] || fail "libraries $name needs: '${actual[*]}', not '${expected[*]}'"
done

root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
for name in $names "${debug_packages[@]}"; do unpack "$(package "$name")" "$root"; done
exports() { nm -D --defined-only "$1" | awk '{print $NF}' | sort; }
for so in $(cd "$root" && find . -path '*/security/*.so' -o -path './usr/sbin/*' -type f | sed 's|^\./||' | sort); do
  # Stripped, with the debug symbols in the debug package under the build ID.
  sections=$(readelf -SW "$root/$so")
  ! grep -qE '\.symtab|\.debug_info' <<<"$sections" || fail "$so is not stripped"
  id=$(readelf -n "$root/$so" | awk '/Build ID/ {print $3}')
  debug=$root/usr/lib/debug/.build-id/${id:0:2}/${id:2}.debug
  [ -n "$id" ] && [ -f "$debug" ] && readelf -SW "$debug" | grep -qF .debug_info ||
    fail "no debug symbols for $so (build ID '$id')"
  case $so in
    */security/*) same "symbols exported by $so" "$(exports "$build"/*/"$(basename "$so")")" "$(exports "$root/$so")" ;;
  esac
done

version=$(cd "$build" && sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' CMakeCache.txt)
says() {  # says PACKAGE DESCRIPTION TEXT...: the description holds each TEXT
  local p=$1 description
  description=$(tr -s " \n" "  " <<<"$2")
  shift 2
  for text in "$@"; do
    grep -qF "$text" <<<"$description" || fail "the description of $p does not say: $text"
  done
}
if [ "$format" = deb ]; then
  pkg=$(package libpam-vesnar) suqvo=$(package libpam-vesnar-suqvo) dev=$(package libpam-vesnar-dev)
  field() { dpkg-deb -f "$1" "$2"; }
  v=$(field "$pkg" Version)
  [ "${v%-*}" = "$version" ] || fail "libpam-vesnar is version $v, the build $version"
  for p in "$pkg" "$suqvo"; do
    same "fields of $(field "$p" Package)" "admin same $(dpkg --print-architecture)" \
      "$(field "$p" Section) $(field "$p" Multi-Arch) $(field "$p" Architecture)"
  done
  # The check is a program: one package serves every architecture, and
  # libpam-vesnar, which may be installed for several, only recommends it.
  check=$(package vesnar-pam-check)
  same "fields of vesnar-pam-check" "admin foreign $(dpkg --print-architecture)" \
    "$(field "$check" Section) $(field "$check" Multi-Arch) $(field "$check" Architecture)"
  same "what libpam-vesnar recommends" "vesnar-pam-check" "$(field "$pkg" Recommends)"
  same "dependency of libpam-vesnar-dev" "libpam-vesnar (= $v)" "$(field "$dev" Depends)"
  same "dependency of libpam-vesnar-dbgsym" "libpam-vesnar (= $v)" \
    "$(field "$(package libpam-vesnar-dbgsym)" Depends)"
  same "dependency of libpam-vesnar-suqvo-dbgsym" "libpam-vesnar-suqvo (= $v)" \
    "$(field "$(package libpam-vesnar-suqvo-dbgsym)" Depends)"
  says libpam-vesnar "$(field "$pkg" Description)" pam_brud pam_tamlo "libpam-vesnar-suqvo"
  says libpam-vesnar-suqvo "$(field "$suqvo" Description)" pam_suqvo "libqvo.so.0" \
    "which no Debian package provides" "no dependency"

  # The same tree as `cmake --install`, less the package's own
  # documentation, with manual pages compressed.
  dest=$(mktemp -d)
  trap 'rm -rf "$root" "$dest"' EXIT
  DESTDIR=$dest cmake --install "$build" --prefix /usr >/dev/null
  installed=$(cd "$dest" && find . -type f | sed 's|^\./||' | sort)
  unpacked=$(for n in $names; do files "$(package "$n")"; done | awk '{print $2}' |
               grep -v '^usr/share/doc/' | sed 's|\.gz$||' | sort)
  same "tree of the packages and of cmake --install" "$installed" "$unpacked"
  for f in $installed; do
    case $f in
      */security/*.so) ;;
      usr/sbin/*)
        needed() { readelf -dW "$1" | awk '/NEEDED/ {print $NF}' | sort; }
        same "libraries $f needs" "$(needed "$dest/$f")" "$(needed "$root/$f")" ;;
      usr/$mandir/*) cmp -s "$dest/$f" <(zcat "$root/$f.gz") || fail "$f differs" ;;
      *) cmp -s "$dest/$f" "$root/$f" || fail "$f differs" ;;
    esac
  done
else
  pkg=$(package vesnar-pam) suqvo=$(package vesnar-pam-suqvo) dev=$(package vesnar-pam-devel)
  vr=$(query '%{VERSION}-%{RELEASE}' "$pkg")
  [ "${vr%%-*}" = "$version" ] || fail "vesnar-pam is version $vr, the build $version"
  arch=$(query '%{ARCH}' "$pkg")
  same "vesnar-pam-devel's requirement on vesnar-pam" "vesnar-pam(${arch/_/-}) = $vr" \
    "$(rpm -qp --requires "$dev" | grep '^vesnar-pam')"
  same "what vesnar-pam-devel provides for pkg-config" "pkgconfig(pam_brud_json) = $version" \
    "$(rpm -qp --provides "$dev" | grep '^pkgconfig(')"
  # pam_suqvo needs libqvo.so.0, and no package may require it: nothing
  # provides it.
  grep -qxF libqvo.so.0 <(readelf -dW "$root/usr/lib64/security/pam_suqvo.so" |
                            sed -n 's/.*Shared library: \[\(.*\)\]/\1/p') ||
    fail "pam_suqvo.so does not need libqvo.so.0"
  for p in "$dir"/RPMS/*/*.rpm; do
    ! rpm -qp --requires "$p" | grep -F libqvo || fail "$(basename "$p") requires libqvo"
  done
  says vesnar-pam "$(query '%{DESCRIPTION}' "$pkg")" pam_brud pam_tamlo vesnar-pam-suqvo
  says vesnar-pam-suqvo "$(query '%{DESCRIPTION}' "$suqvo")" pam_suqvo "libqvo.so.0" \
    "which no repository provides" "no dependency"
fi
[ $status -ne 0 ] || echo "$format packages ok:" $names "${debug_packages[@]}"
exit $status
