#!/usr/bin/env bash
# The queue's crash test (queue_crash_test.py --system) on the system's spool: in a mount
# namespace of its own (tests/support/with_system_overlays.sh), e-mailer-mta's postinst
# makes the group e-mailer, /var/spool/e-mailer and the set-group-ID /usr/sbin/sendmail,
# the program under test, which the test then kills as nobody while it queues messages
# there and flushes them, and kills the timer's flush (e-mailer --flush-due as the user
# e-mailer) too.
# Usage: system_queue_crash_test.sh PROGRAM SOURCE_DIR
set -euo pipefail
program=$1
source_dir=$2
if [ "$(id -u)" -ne 0 ]; then
  echo "skipped: the mount namespace needs the super-user"
  exit 0
fi
work=$(mktemp -d /tmp/system-queue-crash-XXXXXX)
chmod 755 "$work"  # the user e-mailer runs the program from it
trap 'rm -rf "$work"' EXIT
cp "$program" "$work/e-mailer"
sh "$source_dir/tests/support/with_system_overlays.sh" "$work" /bin/sh -ec '
  cp "$1/e-mailer" /usr/sbin/sendmail
  # Without systemd here its steps for the timer say they failed, and change nothing.
  out=$(DPKG_MAINTSCRIPT_PACKAGE=e-mailer-mta DPKG_MAINTSCRIPT_NAME=postinst \
    sh "$2/packaging/mta/postinst" configure 2>&1) || { echo "postinst: $out"; exit 1; }
  exec /usr/bin/python3 "$2/tests/integration/queue_crash_test.py" --system "$1/e-mailer"' \
  system_queue_crash_test "$work" "$source_dir"
