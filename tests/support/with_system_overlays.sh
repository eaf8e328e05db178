#!/bin/sh
# Runs a command in a private mount namespace where /etc, /var and /usr/sbin are
# overlays whose changes go to folders under WORK, and /run is an empty tmpfs: what the
# command installs there (users and groups, a package's maintainer scripts and their
# dpkg-statoverride, the spool, a set-group-ID /usr/sbin/sendmail) never reaches the
# machine's own files. Nor does its mail log reach the machine's: /dev/log, where there
# is one, is /dev/null there, which no datagram connects to. Needs root (CI runs as root).
# usage: with_system_overlays.sh WORK COMMAND [ARGUMENT...]
work=$1
shift
for layer in etc var sbin; do mkdir -p "$work/$layer-upper" "$work/$layer-work"; done
exec unshare --mount --propagation private /bin/sh -ec '
  work=$1
  shift
  for layer in etc var; do
    mount -t overlay overlay -o "lowerdir=/$layer,upperdir=$work/$layer-upper,workdir=$work/$layer-work" "/$layer"
  done
  mount -t overlay overlay -o "lowerdir=/usr/sbin,upperdir=$work/sbin-upper,workdir=$work/sbin-work" /usr/sbin
  mount -t tmpfs tmpfs /run
  if [ -e /dev/log ]; then mount --bind /dev/null /dev/log; fi
  exec "$@"' with_system_overlays "$work" "$@"
