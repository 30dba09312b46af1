#!/bin/bash
# The main job: set up, build, and run the three modules for real, through
# the real libpam, inside a private mount namespace (nothing on the host
# changes), narrating what a hosting administrator would see.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
echo "building..."
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" >/dev/null
exec build/demo/sandboxed bash demo/scenes.sh build
