#!/bin/bash
# Builds the Debian packages from a copy of the source tree, as a fresh clone
# has it plus uncommitted edits, so that the developer's build trees neither
# go into the build nor get dirtied by it.  Tests are off, since the suite
# that builds the package is the one that runs them, and the build takes one
# job, since ctest runs other tests beside it.
set -euo pipefail
src=$1 out=$2
rm -rf "$out"
mkdir -p "$out/src"
if git -C "$src" rev-parse --git-dir >/dev/null 2>&1; then
  (cd "$src" && git ls-files -z --cached --others --exclude-standard |
     while IFS= read -r -d '' f; do [ -e "$f" ] && printf '%s\0' "$f"; done |
     tar --null -T - -cf -) | tar -xf - -C "$out/src"
else
  tar -C "$src" --exclude='./build*' --exclude='./obj-*' -cf - . | tar -xf - -C "$out/src"
fi
if ! (cd "$out/src" && DEB_BUILD_OPTIONS="nocheck parallel=1" DEB_BUILD_PROFILES=nocheck \
        dpkg-buildpackage -us -uc -b) >"$out/build.log" 2>&1; then
  tail -40 "$out/build.log"
  exit 1
fi
rm -rf "$out/src"
ls "$out"
