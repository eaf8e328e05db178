#!/bin/sh
# Runs a command in a private mount namespace whose /dev/log is the given socket, so
# that the lines it writes to syslog reach the test that bound the socket and never the
# machine's own log. /dev in the namespace is a fresh tmpfs holding the usual devices
# (bound from the real /dev) and the socket. Needs root (CI runs as root).
# usage: with_dev_log.sh SOCKET COMMAND [ARGUMENT...]
socket=$1
shift
exec unshare --mount --propagation private /bin/sh -ec '
  socket=$1
  shift
  devices=$(dirname "$socket")/host-dev
  mkdir -p "$devices"
  mount --rbind /dev "$devices"
  mount -t tmpfs -o mode=0755 tmpfs /dev
  for device in null zero full random urandom tty; do
    touch "/dev/$device"
    mount --bind "$devices/$device" "/dev/$device"
  done
  ln -s /proc/self/fd /dev/fd
  touch /dev/log
  mount --bind "$socket" /dev/log
  exec "$@"
' sh "$socket" "$@"
