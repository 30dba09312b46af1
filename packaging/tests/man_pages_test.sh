#!/bin/bash
# Each manual page renders without a single groff warning, and has the
# sections of a PAM module page, or of an administrator's command.
set -euo pipefail
mandir=$1
# Positive control: a page with an undefined macro must produce a warning.
bad=$(mktemp)
trap 'rm -f "$bad"' EXIT
printf '.TH X 8\n.SH NAME\n.NOSUCHMACRO x\n' > "$bad"
if [ -z "$(groff -man -ww -z "$bad" 2>&1)" ]; then
  echo "groff reports no warnings at all; the check below would prove nothing"; exit 1
fi
status=0
for page in pam_brud pam_tamlo pam_suqvo; do
  warnings=$(groff -man -ww -z "$mandir/$page.8" 2>&1)
  if [ -n "$warnings" ]; then echo "$page.8: $warnings"; status=1; fi
  for section in NAME SYNOPSIS DESCRIPTION OPTIONS "MODULE TYPES PROVIDED" "RETURN VALUES" FILES EXAMPLES "SEE ALSO"; do
    grep -q "^\.SH $section\$" "$mandir/$page.8" || { echo "$page.8: no $section section"; status=1; }
  done
done
page=vesnar-pam-check
warnings=$(groff -man -ww -z "$mandir/$page.8" 2>&1)
if [ -n "$warnings" ]; then echo "$page.8: $warnings"; status=1; fi
for section in NAME SYNOPSIS DESCRIPTION OPTIONS "EXIT STATUS" FILES EXAMPLES "SEE ALSO"; do
  grep -q "^\.SH $section\$" "$mandir/$page.8" || { echo "$page.8: no $section section"; status=1; }
done
exit $status
