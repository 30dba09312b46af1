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
src=$(dirname "$here")
out=${JSON_FUZZ_DIR:-$(dirname "$src")/build-fuzz}
seconds=${1:-600}
shift || true

mkdir -p "$out/corpus"
clang++ -std=c++20 -O1 -g -fno-omit-frame-pointer \
  -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all \
  -I"$src" "$here/fuzz_decode.cpp" \
  "$src/text.cpp" "$src/c_locale.cpp" "$src/node.cpp" "$src/decode.cpp" \
  "$src/encode.cpp" "$src/check.cpp" \
  -o "$out/json_fuzz"

exec "$out/json_fuzz" -max_total_time="$seconds" -max_len=8192 \
  -dict="$here/json.dict" -print_final_stats=1 "$@" "$out/corpus" "$here/corpus"
