#!/bin/bash
# Builds the decoder's libFuzzer target with clang and runs it.
#
#   json/fuzz/run.sh [seconds [libFuzzer options...]]
#
# seconds: how long to run (default 600).  The build goes to build-fuzz/
# beside the source tree (or $JSON_FUZZ_DIR); new inputs that libFuzzer
# finds go to its corpus/ there, the seeds in json/fuzz/corpus stay as they
# are.  A crash leaves crash-* in the current directory and a non-zero exit.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
top=$(dirname "$(dirname "$here")")
out=${JSON_FUZZ_DIR:-$top/build-fuzz}
seconds=${1:-600}
shift || true

cmake -S "$top" -B "$out" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_C_COMPILER=clang \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPAMX_FUZZ=ON -DPAMX_TESTS=OFF -DPAMX_BENCH=OFF >/dev/null
cmake --build "$out" --target json_fuzz -j2 >/dev/null
mkdir -p "$out/corpus"
exec "$out/json/json_fuzz" -max_total_time="$seconds" -max_len=8192 \
  -dict="$here/json.dict" -print_final_stats=1 "$@" "$out/corpus" "$here/corpus"
