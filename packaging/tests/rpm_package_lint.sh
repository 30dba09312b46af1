#!/bin/bash
# rpmlint with Fedora's own configuration over the source RPM and the
# packages the recipe lists files for, clean but for what the package's
# rpmlintrc filters (each filter with its reason; one that no longer matches
# is reported too).  The -debuginfo and -debugsource packages are left out:
# rpm writes them itself, and rpmlint takes their detached .debug files for
# unstripped libraries.
set -euo pipefail
rpms=$1 src=$2
config=$src/../shared/rpmlint-fedora
if [ ! -f "$config/fedora.toml" ]; then
  echo "skipped: no Fedora rpmlint configuration at $config"
  exit 77
fi
command -v rpmlint >/dev/null || { echo "skipped: no rpmlint on this machine"; exit 77; }
[ -d "$rpms/RPMS" ] || { echo "skipped: no RPMs were built (rpm_package_build says why)"; exit 77; }
packages=$(ls "$rpms"/SRPMS/*.src.rpm "$rpms"/RPMS/*/*.rpm | grep -v -- '-debug\(info\|source\)-')
# shellcheck disable=SC2086  # the file names are words
out=$(rpmlint -c "$config" -r "$src/packaging/rpm/vesnar-pam.rpmlintrc" $packages 2>&1) || true
summary=$(grep -E 'packages and [0-9]+ specfiles checked' <<<"$out" || true)
if ! grep -q ' 0 errors, 0 warnings, 0 badness' <<<"$summary" || [ "$(wc -w <<<"$packages")" -ne 4 ]; then
  echo "$out"
  exit 1
fi
echo "rpmlint clean: $summary"
