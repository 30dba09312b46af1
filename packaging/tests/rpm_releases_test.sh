#!/bin/bash
# The RPM recipe as each release's rpmbuild reads it: EL8 builds with a
# gcc-toolset (its g++ 8 knows too little C++20) and the toolset's annobin
# plugin, which EL's flags load; EL9 with its system g++; without the tests
# the suite's build dependencies go and the tests are not configured.  Read
# with EL9's macros (el9.macros), so that %cmake and %ctest expand as there.
set -euo pipefail
recipe=$1
here=$(dirname "$(realpath "$0")")
command -v rpmspec >/dev/null || { echo "skipped: no rpmspec on this machine"; exit 77; }
status=0
# release, with/without check, then what the parsed recipe holds (=TEXT) and what
# BuildRequires holds (+NAME) or not (-NAME)
while read -r release check expectations; do
  options=(--load "$here/el9.macros" --define "rhel $release" --"$check" check)
  requires=$(rpmspec -q --buildrequires "${options[@]}" "$recipe" | awk '{print $1}')
  build=$(rpmspec -P "${options[@]}" "$recipe")
  for e in $expectations; do
    case $e in
      +*) grep -qxF -- "${e#+}" <<<"$requires" ;;
      -*) ! grep -qxF -- "${e#-}" <<<"$requires" ;;
      =*) grep -qF -- "${e#=}" <<<"$build" ;;
    esac || { echo "EL$release $check check: not $e"; status=1; }
  done
done <<'EOF_TABLE'
8 with    +gcc-toolset-12-gcc-c++ +gcc-toolset-12-annobin-plugin-gcc -gcc-c++ +pam-devel +libxcrypt-devel +pkgconfig +gtest-devel =/opt/rh/gcc-toolset-12/enable =-DPAMX_TESTS:BOOL=ON =--label-exclude
9 with    +gcc-c++ -gcc-toolset-12-gcc-c++ -gcc-toolset-12-annobin-plugin-gcc +pam-devel +libxcrypt-devel +gtest-devel +gmock-devel =-DPAMX_TESTS:BOOL=ON =--label-exclude
9 without +gcc-c++ -gtest-devel -gmock-devel -glibc-locale-source =-DPAMX_TESTS:BOOL=OFF =-DCMAKE_INSTALL_LIBDIR:PATH=lib64
EOF_TABLE
[ $status -ne 0 ] || echo "the recipe reads right for EL8 and EL9"
exit $status
