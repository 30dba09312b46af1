#!/bin/bash
# The test command: set up, then build and run the whole suite three times:
# the normal build, under AddressSanitizer + UBSan, and under valgrind, each
# with the stricter warnings as errors.
#
#   scripts/test.sh          the full run (what CI runs)
#   scripts/test.sh quick    the normal build's suite only, for the inner loop
set -euo pipefail
cd "$(dirname "$0")/.."
mode=${1:-full}
case "$mode" in full|quick) ;; *) echo "usage: $0 [quick]" >&2; exit 2 ;; esac
scripts/setup.sh

jobs=$(nproc)
build() {  # build DIR [cmake options...]
  local dir=$1; shift
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPAMX_WERROR=ON "$@" >/dev/null
  cmake --build "$dir" -j"$jobs" >/dev/null
}

echo "== normal build"
build build
(cd build && ctest --output-on-failure -j"$jobs" -LE "timing|huge|services")
echo "== services: the modules inside Debian's real PAM hosts (normal build only)"
(cd build && ctest --output-on-failure -j"$jobs" -L services)
[ "$mode" = quick ] && exit 0

echo "== g++ 11, EL9's system compiler: the three modules, warnings as errors"
cmake -S . -B build-gcc11 -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPAMX_WERROR=ON -DPAMX_TESTS=OFF \
  -DPAMX_BENCH=OFF -DCMAKE_C_COMPILER=gcc-11 -DCMAKE_CXX_COMPILER=g++-11 >/dev/null
cmake --build build-gcc11 -j"$jobs" --target pam_brud pam_tamlo pam_suqvo >/dev/null

echo "== timing tests (alone, nothing else running)"
(cd build && ctest --output-on-failure -L timing)

echo "== AddressSanitizer + UndefinedBehaviorSanitizer"
build build-asan -DPAMX_SANITIZE=ON
(cd build-asan && ASAN_OPTIONS=detect_leaks=1:allocator_may_return_null=1 \
   UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
   ctest --output-on-failure -j"$jobs" -LE "timing|huge|services|no_sanitizer")

echo "== JSON library with its portable byte loops (as on aarch64 and s390x)"
cmake -S . -B build-json-portable -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPAMX_WERROR=ON \
  -DPAMX_JSON_PORTABLE=ON -DPAMX_BENCH=OFF >/dev/null
cmake --build build-json-portable -j"$jobs" --target json_tests >/dev/null
(cd build-json-portable && ctest --output-on-failure -j"$jobs" -L json -LE huge)

echo "== valgrind memcheck"
build build-valgrind -DPAMX_VALGRIND=ON -DPAMX_BENCH=OFF
(cd build-valgrind && ctest --output-on-failure -j"$jobs" -LE "timing|huge|services|no_valgrind")
