#!/bin/bash
# fetch_sshd.sh DIR: Debian's openssh-server, and those of its libraries that
# the host lacks or has too old, downloaded and unpacked under DIR/root for
# the services tests. Nothing is installed, and the host's apt state is only
# read: apt's caches live in DIR/apt, and when the host's package lists are
# too old to name a package, a private copy of them is refreshed there.
# Needs the network to Debian's mirror the first time; afterwards DIR is a
# cache.
set -euo pipefail
dir=$1
root=$dir/root
if [ -x "$root/usr/sbin/sshd" ] && [ -f "$dir/unpacked" ]; then
  echo "sshd package: $(cat "$dir/unpacked") (cached)"
  exit 0
fi

debs=$dir/debs
apt_dir=$dir/apt
rm -rf "$root" "$debs"
mkdir -p "$debs" "$apt_dir/cache/archives/partial" "$apt_dir/lists/partial"
# Root downloads by itself (apt's download user could not write here).
apt_opts=(-q -o APT::Sandbox::User=root -o Dir::Cache="$apt_dir/cache")
private_lists=(-o Dir::State::Lists="$apt_dir/lists")
lists=()

download() {  # download PACKAGE...
  (cd "$debs" && apt-get "${apt_opts[@]}" "${lists[@]}" download "$@" >/dev/null)
}

if ! download openssh-server 2>/dev/null; then
  echo "sshd package: the host's package lists do not name it; refreshing a private copy"
  lists=("${private_lists[@]}")
  apt-get "${apt_opts[@]}" "${lists[@]}" update >/dev/null
  download openssh-server
fi
server=$(ls "$debs"/openssh-server_*.deb)

# Library dependencies ("libssl3 (>= 3.0.19)", "zlib1g (>= 1:1.1.4)") that
# the host does not satisfy come along.
needed=()
IFS=',' read -ra deps <<<"$(dpkg-deb -f "$server" Depends)"
for dep in "${deps[@]}"; do
  dep=${dep%%|*}
  name=$(awk '{print $1}' <<<"$dep")
  case $name in lib* | zlib*) ;; *) continue ;; esac
  have=$(dpkg-query -W -f='${Status} ${Version}' "$name" 2>/dev/null || true)
  if [[ $have != "install ok installed "* ]]; then
    needed+=("$name")
  elif [[ $dep =~ \(([<>=]+)\ *([^\)]+)\) ]]; then
    op=${BASH_REMATCH[1]}
    case $op in '>=') op=ge ;; '>>') op=gt ;; '=') op=eq ;; '<=') op=le ;; '<<') op=lt ;; esac
    dpkg --compare-versions "${have##* }" "$op" "${BASH_REMATCH[2]}" || needed+=("$name")
  fi
done
((${#needed[@]} == 0)) || download "${needed[@]}"

for deb in "$debs"/*.deb; do
  dpkg-deb -x "$deb" "$root"
done
version=$(dpkg-deb -f "$server" Version)
echo "openssh-server $version${needed[*]:+ with ${needed[*]}}" >"$dir/unpacked"
echo "sshd package: $(cat "$dir/unpacked") unpacked in $root"
