#!/bin/bash
# fetch_packages.sh DIR PACKAGE...: Debian's packages of the PAM hosts that
# the services tests run, and those of their libraries that the host lacks
# or has too old, downloaded and unpacked together under DIR/root. Nothing
# is installed (maintainer scripts would start services on the host), and
# the host's apt state is only read: apt's caches live in DIR/apt, and when
# the host's package lists are too old to name a package, a private copy of
# them is refreshed there. Needs the network to Debian's mirror the first
# time; afterwards DIR is a cache for as long as the list and this script
# stay the same.
set -euo pipefail
dir=$1
shift
packages=("$@")
root=$dir/root
requested="${packages[*]} $(sha256sum <"$0" | cut -c1-16)"
if [ -f "$dir/requested" ] && [ "$(cat "$dir/requested")" = "$requested" ] && [ -f "$dir/unpacked" ]; then
  echo "host packages: $(cat "$dir/unpacked") (cached)"
  exit 0
fi

debs=$dir/debs
apt_dir=$dir/apt
rm -rf "$root" "$debs" "$dir/unpacked" "$dir/requested"
mkdir -p "$debs" "$apt_dir/cache/archives/partial" "$apt_dir/lists/partial"
# Root downloads by itself (apt's download user could not write here).
apt_opts=(-q -o APT::Sandbox::User=root -o Dir::Cache="$apt_dir/cache")
private_lists=(-o Dir::State::Lists="$apt_dir/lists")
lists=()

download() {  # download PACKAGE...
  (cd "$debs" && apt-get "${apt_opts[@]}" "${lists[@]}" download "$@" >/dev/null)
}

if ! download "${packages[@]}" 2>/dev/null; then
  echo "host packages: the host's package lists do not name them all; refreshing a private copy"
  lists=("${private_lists[@]}")
  apt-get "${apt_opts[@]}" "${lists[@]}" update >/dev/null
  download "${packages[@]}"
fi

# Library dependencies ("libssl3 (>= 3.0.19)", "zlib1g (>= 1:1.1.4)") that
# the host does not satisfy come along, and theirs in turn (proftpd-core's
# libmemcached11 needs libhashkit2), once for all the packages.
needed=()
summary=()
for package in "${packages[@]}"; do
  summary+=("$package $(dpkg-deb -f "$(ls "$debs/${package}"_*.deb)" Version)")
done
round=("${packages[@]}")
while ((${#round[@]})); do
  next=()
  for package in "${round[@]}"; do
    IFS=',' read -ra deps <<<"$(dpkg-deb -f "$(ls "$debs/${package}"_*.deb)" Depends)"
    for dep in "${deps[@]}"; do
      dep=${dep%%|*}
      name=$(awk '{print $1}' <<<"$dep")
      case $name in lib* | zlib*) ;; *) continue ;; esac
      [[ " ${needed[*]} ${next[*]} ${packages[*]} " == *" $name "* ]] && continue
      have=$(dpkg-query -W -f='${Status} ${Version}' "$name" 2>/dev/null || true)
      if [[ $have != "install ok installed "* ]]; then
        next+=("$name")
      elif [[ $dep =~ \(([<>=]+)\ *([^\)]+)\) ]]; then
        op=${BASH_REMATCH[1]}
        case $op in '>=') op=ge ;; '>>') op=gt ;; '=') op=eq ;; '<=') op=le ;; '<<') op=lt ;; esac
        dpkg --compare-versions "${have##* }" "$op" "${BASH_REMATCH[2]}" || next+=("$name")
      fi
    done
  done
  ((${#next[@]} == 0)) || download "${next[@]}"
  needed+=("${next[@]}")
  round=("${next[@]}")
done

for deb in "$debs"/*.deb; do
  dpkg-deb -x "$deb" "$root"
done
(IFS=,; echo "${summary[*]}${needed[*]:+ with ${needed[*]}}") | sed 's/,/, /g' >"$dir/unpacked"
echo "$requested" >"$dir/requested"
echo "host packages: $(cat "$dir/unpacked") unpacked in $root"
