# pam_suqvo: the banner inside a container, nothing outside or on a host.
heading "pam_suqvo: container-session warning"
cat >/etc/pam.d/demo-suqvo <<PAM
session  optional  $SUQVO
session  required  pam_permit.so
PAM
say "Stack: session optional pam_suqvo.so, then pam_permit.so for the rest of the session stack. The platform's container library is played by a stand-in whose answer the demo chooses."
echo
say "A session opens inside a container:"
QVO_STANDIN_ANSWER=inside client --service demo-suqvo --user bob --call open_session
show_syslog
echo
say "A session opens outside any container:"
QVO_STANDIN_ANSWER=outside client --service demo-suqvo --user bob --call open_session
show_syslog
echo
say "On a container host (marker /etc/zelvaronix-container present), even when the library would say 'inside':"
touch /etc/zelvaronix-container
QVO_STANDIN_ANSWER=inside client --service demo-suqvo --user bob --call open_session
show_syslog
rm -f /etc/zelvaronix-container
echo
say "The container library cannot be initialised (errno 13):"
QVO_STANDIN_ANSWER=fail:13 client --service demo-suqvo --user bob --call open_session
show_syslog
