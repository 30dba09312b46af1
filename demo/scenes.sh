#!/bin/bash
# The demo's scenes. Runs inside the tests' sandbox (scripts/demo.sh puts it
# there): /etc, /var and /run are private overlays and /tmp is private, so
# the service files, flag files, keys and sockets written here never reach
# the host.
set -euo pipefail
build=$(realpath "$1")
here=$(dirname "$(realpath "$0")")

BRUD=$build/brute_force_report/pam_brud.so
TAMLO=$build/session_user_auth/pam_tamlo.so
SUQVO=$build/container_warning/pam_suqvo.so
DAEMON=$build/platform/brud_daemon/brud_daemon
export DEMO_SYSLOG_FILE=/tmp/demo-syslog
export LD_LIBRARY_PATH=$build/platform/qvo   # the container library's stand-in
client() { "$build/demo/pam_demo_client" "$@"; }

heading() { printf '\n\033[1m== %s\033[0m\n' "$*"; }
say() { printf '%s\n' "$*" | fold -s -w 78 | sed 's/^/  /'; }
show_syslog() {
  sleep 0.2  # the logger's turn to write what it was sent
  if [ -s "$DEMO_SYSLOG_FILE" ]; then
    echo "  syslog:"
    sed 's/^/    /' "$DEMO_SYSLOG_FILE"
  else
    echo "  syslog: (nothing)"
  fi
  : >"$DEMO_SYSLOG_FILE"
}
: >"$DEMO_SYSLOG_FILE"
# The sandbox's own system logger, on its private /dev/log.
"$build/demo/syslog_to_file" "$DEMO_SYSLOG_FILE" &
logger_pid=$!
trap 'kill "$logger_pid"' EXIT

source "$here/scene_brud.sh"
source "$here/scene_tamlo.sh"
source "$here/scene_suqvo.sh"

heading "Done"
say "Everything above ran through the real libpam inside a private namespace; nothing on this host changed."
