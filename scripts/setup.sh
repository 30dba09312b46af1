#!/bin/bash
# Installs every Debian package that the build, the tests, the benchmarks and
# the demo need, and the locale that the locale tests use.  Quick and silent
# when everything is already there.
set -euo pipefail

packages=(
  build-essential cmake pkg-config binutils util-linux
  libpam0g-dev libcrypt-dev
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  valgrind clang libclang-rt-14-dev
  libcjson-dev libjansson-dev libjson-c-dev rapidjson-dev libsimdjson-dev
  libpam-modules
  locales groff-base dpkg-dev file debhelper lintian
  openssh-client sshpass curl sudo
  rpm rpmlint elfutils g++-11 devscripts
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]}"
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# A locale whose decimal separator is a comma, for the locale-independence tests.
if ! locale -a 2>/dev/null | grep -qi '^de_DE\.utf-\?8$'; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo localedef -i de_DE -f UTF-8 de_DE.UTF-8
fi
