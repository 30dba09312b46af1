# pam_tamlo: a right and a wrong session-user password.
heading "pam_tamlo: session-user passwords"
cat >/etc/pam.d/demo-tamlo <<PAM
auth     required  $TAMLO
account  required  $TAMLO
PAM
mkdir -p /var/vesnar/tamlo/keys
printf 's3cret-Token' >/var/vesnar/tamlo/keys/alice:tamlo_shop1
chmod 600 /var/vesnar/tamlo/keys/alice:tamlo_shop1
say "The platform keeps the key of session user 'shop1' of account 'alice' in /var/vesnar/tamlo/keys/alice:tamlo_shop1. Stack: auth required pam_tamlo.so"
echo
say "alice logs in with tamlo_shop1_s3cret-Token:"
client --service demo-tamlo --user alice --password tamlo_shop1_s3cret-Token
show_syslog
echo
say "alice logs in with tamlo_shop1_guess:"
client --service demo-tamlo --user alice --password tamlo_shop1_guess
show_syslog
