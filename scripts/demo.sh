#!/bin/bash
# The main job: set up, build, and show what the project delivers.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" >/dev/null
for m in brute_force_report/pam_brud session_user_auth/pam_tamlo container_warning/pam_suqvo; do
  so=build/$m.so
  echo "== $(basename "$so")"
  echo "needs:   $(readelf -dW "$so" | sed -n 's/.*Shared library: \[\(.*\)\]/\1/p' | tr '\n' ' ')"
  echo "exports: $(nm -D --defined-only --format=posix "$so" | cut -d' ' -f1 | tr '\n' ' ')"
done
