# pam_brud in front of a password decision, against the stand-in daemon in
# its counting mode; then without the daemon, to show that it fails open.
heading "pam_brud: brute-force reporting"
cat >/etc/pam.d/demo-brud <<PAM
auth  requisite  $BRUD
auth  required   pam_permit.so
PAM
mkdir -p /var/vesnar/brudd /var/vesnar/quorixd/keys
touch /var/vesnar/brudd/enabled
printf 'demo-key-7f3a\n' >/var/vesnar/quorixd/keys/pam
chmod 600 /var/vesnar/quorixd/keys/pam
say "Stack: auth requisite pam_brud.so, then pam_permit.so standing in for the password check. The feature is on (/var/vesnar/brudd/enabled exists); the daemon's key is in /var/vesnar/quorixd/keys/pam."
say "The stand-in daemon counts reports per (user, remote host) and refuses past 3 within 300 seconds."
"$DAEMON" --count --limit 3 --window 300 --key-file /var/vesnar/quorixd/keys/pam \
  --record /tmp/daemon-lines --ready-fd 3 3>/tmp/daemon-ready &
daemon_pid=$!
for _ in $(seq 50); do [ -s /tmp/daemon-ready ] && break; sleep 0.1; done

for attempt in 1 2 3 4 5; do
  echo
  say "Attempt $attempt: carol from 203.0.113.7 over ssh, password 'hunter2-$attempt':"
  client --service demo-brud --user carol --rhost 203.0.113.7 --tty ssh --password "hunter2-$attempt"
done
show_syslog
echo
say "What the daemon received (the token never leaves the process, only its salted hash):"
sed -e 's/^AUTH pam .*/AUTH pam <key>/' -e 's/^/    /' /tmp/daemon-lines
if grep -q 'hunter2' /tmp/daemon-lines; then echo "  !! a token reached the daemon"; exit 1; fi
echo
say "Another host is not affected: carol from 198.51.100.2:"
client --service demo-brud --user carol --rhost 198.51.100.2 --tty ssh --password hunter2
show_syslog

echo
say "The daemon stops. pam_brud cannot reach it, logs why, and returns PAM_IGNORE: the rest of the stack (pam_permit) decides."
kill "$daemon_pid"
wait "$daemon_pid" 2>/dev/null || true
client --service demo-brud --user carol --rhost 203.0.113.7 --tty ssh --password hunter2
show_syslog
