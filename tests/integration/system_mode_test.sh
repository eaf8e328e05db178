#!/usr/bin/env bash
# The system's settings and spool as e-mailer-mta sets them up, in a mount namespace of
# the test's own: overlays over /etc, /var and /usr/sbin (their changes go to this
# test's folder) and an empty /run, so the machine's own users, settings, spool, dpkg
# database and sendmail are never touched. The package's postinst makes the group and
# user e-mailer, the spool, the commented /etc/e-mailer/SMTP.reg and the set-group-ID
# /usr/sbin/sendmail (the program under test); then root without HOME, two ordinary users
# (one with root's HOME, as cron starts them), www-data through PHP and the flush as the
# user e-mailer all send through that one file to aiosmtpd, which requires AUTH: each
# message arrives once, and no ordinary user can read the password, another user's
# entries or their listing; an account of that file is chosen by the sender and kept by
# its queued entry. The postrm's purge removes it all again.
# Usage: system_mode_test.sh PROGRAM SOURCE_DIR
set -euo pipefail
# The last command of a pipeline ("message ... | expect ...") runs in this shell, so that
# what it counts is counted.
shopt -s lastpipe
if [ "${1:-}" = --in-namespace ]; then
  in_namespace=1
else
  in_namespace=0
  program=$1
  source_dir=$2
fi

# ctest gives the test its own standard input, which is the user's terminal when run from
# one: nothing here may wait on it.
exec </dev/null

failures=0
passed=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
pass() { passed=$((passed + 1)); }
# Each command that the steps run ends within this limit or is killed (status 124). The
# whole test takes 3 to 6 s, so the first command that hangs is named within ctest's
# 120 s for the test.
step_seconds=20
limited() { timeout -k 2 "$step_seconds" "$@"; }
# expect NAME COMMAND...: the command succeeds. One that hangs ends the test, as every
# step after it would hang too.
expect() {
  local name=$1 status=0
  shift
  "$@" >"$WORK/out" 2>&1 || status=$?
  case $status in
    0) pass ;;
    124 | 137) fail "$name: timed out after $step_seconds s: $(cat "$WORK/out")"; exit 1 ;;
    *) fail "$name: exit $status: $(cat "$WORK/out")" ;;
  esac
}
# as USER COMMAND...: the command as that user and their groups, in the bare
# environment that cron gives a mailer (PATH alone; HOME where the caller sets it).
as() {
  local user=$1
  shift
  limited setpriv --reuid="$(id -u "$user")" --regid="$(id -g "$user")" --init-groups -- \
    env -i PATH=/usr/sbin:/usr/bin:/bin "$@"
}
bare() { limited env -i PATH=/usr/sbin:/usr/bin:/bin "$@"; }
# maintainer_script NAME ARGUMENT: the package's script, as dpkg runs it.
maintainer_script() {
  DPKG_MAINTSCRIPT_PACKAGE=e-mailer-mta DPKG_MAINTSCRIPT_NAME=$1 limited sh "$SOURCE_DIR/packaging/mta/$1" "$2"
}
message() { printf 'Subject: %s\n\n%s\n' "$1" "$1"; }
# received N RECIPIENT SENDER: message N reached the server within 2 seconds (an ordinary
# user's message through the keeper), and message N+1 did not.
received() {
  local n=$1 envelope i
  for ((i = 0; i < 40; i++)); do [ -e "$WORK/mail/$n.envelope" ] && break; sleep 0.05; done
  envelope=$(cat "$WORK/mail/$n.envelope" 2>/dev/null || true)
  [ "$envelope" = $'MAIL FROM:<'"$3"$'>\nRCPT TO:<'"$2"'>' ] || { fail "message $n: envelope '$envelope'"; return; }
  [ ! -e "$WORK/mail/$((n + 1)).eml" ] || { fail "message $n: a message $((n + 1)) came too"; return; }
  pass
}

# The keeper as e-mailer-flush.path starts it, where systemd does not run: while the file
# that the path unit's PathExists= names is there, the service's ExecStart as its User=,
# looked for every 0.1 s (systemd watches it with inotify). Runs while $WORK/keeper-on is.
keeper_loop() {
  local units=$SOURCE_DIR/packaging/systemd/system trigger exec_start user
  trigger=$(sed -n 's/^PathExists=//p' "$units/e-mailer-flush.path")
  exec_start=$(sed -n 's/^ExecStart=//p' "$units/e-mailer-flush.service")
  user=$(sed -n 's/^User=//p' "$units/e-mailer-flush.service")
  while [ -e "$WORK/keeper-on" ]; do
    # shellcheck disable=SC2086 # the unit's arguments, split as systemd splits them
    if [ -e "$trigger" ]; then as "$user" "$WORK/e-mailer" ${exec_start#/usr/bin/e-mailer} >>"$WORK/keeper.log" 2>&1 || true; fi
    sleep 0.1
  done
}
start_keeper() { touch "$WORK/keeper-on"; keeper_loop & KEEPER_PID=$!; }
stop_keeper() { rm -f "$WORK/keeper-on"; wait "$KEEPER_PID" 2>/dev/null || true; }

steps() {
  cd /
  cp "$WORK/e-mailer" /usr/sbin/sendmail
  mkdir "$WORK/bin"
  ln -s /usr/sbin/sendmail "$WORK/bin/mailq"
  expect postinst maintainer_script postinst configure
  [ "$(stat -c '%a %U:%G' /var/spool/e-mailer/failed /var/spool/e-mailer/corrupt)" = \
    $'2770 e-mailer:e-mailer\n2770 e-mailer:e-mailer' ] && pass ||
    fail "failed/ and corrupt/: $(stat -c '%n %a %U:%G' /var/spool/e-mailer/failed /var/spool/e-mailer/corrupt)"
  [ "$(stat -c '%a %U:%G' /usr/sbin/sendmail /etc/e-mailer/SMTP.reg /var/spool/e-mailer)" = \
    $'2755 root:e-mailer\n640 root:e-mailer\n2770 e-mailer:e-mailer' ] && pass ||
    fail "modes: $(stat -c '%n %a %U:%G' /usr/sbin/sendmail /etc/e-mailer/SMTP.reg /var/spool/e-mailer)"

  # The commented file: the failure names it.
  local status=0
  message commented | bare /usr/sbin/sendmail -i a@example.org >"$WORK/out" 2>&1 || status=$?
  [ "$status" = 78 ] && grep -q 'no SMTP server: set Server in /etc/e-mailer/SMTP.reg' "$WORK/out" && pass ||
    fail "the commented settings: exit $status: $(cat "$WORK/out")"

  printf '"Server"="127.0.0.1"\r\n"Port"="%s"\r\n"AuthMethod"=dword:00000002\r\n"AuthUser"="user"\r\n"AuthPassword"="relay pass"\r\n"SenderEMail"="server@example.org"\r\n' \
    "$PORT" >>/etc/e-mailer/SMTP.reg
  mkdir -p "$WORK/home"
  useradd --create-home --home-dir "$WORK/home/alice" alice
  useradd --create-home --home-dir "$WORK/home/bob" bob

  # Issue 46: an ordinary user's sendmail is the submission half alone, whatever its
  # name and arguments: no --check or --authorize under another name (the fake xdg-open
  # first on PATH would record its groups), no send of the e-mailer face, no connection.
  printf '\r\n[HKEY_LOCAL_MACHINE\\software\\Zelkor\\Kestrum\\SMTP\\Accounts\\o365]\r\n"OAuthClientID"="client"\r\n"AuthMethod"=dword:00000007\r\n' \
    >>/etc/e-mailer/SMTP.reg
  mkdir -m 755 "$WORK/fake"
  printf '#!/bin/sh\nid -G >%s/xdg-open.groups\n' "$WORK" >"$WORK/fake/xdg-open"
  chmod 755 "$WORK/fake/xdg-open"
  chmod 777 "$WORK"
  for arguments in "--check" "--account o365 --authorize --browser" "Subject Body"; do
    status=0
    # shellcheck disable=SC2086 # the arguments, split
    as alice PATH="$WORK/fake:/usr/sbin:/usr/bin:/bin" bash -c 'exec -a e-mailer /usr/sbin/sendmail "$@"' \
      e-mailer $arguments </dev/null >"$WORK/out" 2>&1 || status=$?
    [ "$status" != 0 ] && [ ! -e "$WORK/xdg-open.groups" ] && [ ! -e "$WORK/mail/1.envelope" ] &&
      ! grep -q 'relay pass' "$WORK/out" && [ ! -e "$WORK/mail/logins" ] && pass ||
      fail "e-mailer $arguments as alice under another name: exit $status: $(cat "$WORK/out" "$WORK/xdg-open.groups" 2>&1)"
  done
  chmod 755 "$WORK"
  # The submission traced as alice: one program, no child, no socket of the Internet.
  message traced | strace -f -qq -u alice -e trace=execve,clone,clone3,fork,vfork,socket -o "$WORK/trace" \
    env -i PATH=/usr/sbin:/usr/bin:/bin /usr/sbin/sendmail -i traced@example.org >"$WORK/out" 2>&1 || true
  [ "$(grep -c 'execve(' "$WORK/trace")" = 2 ] && ! grep -qE 'clone|fork|AF_INET' "$WORK/trace" &&
    [ -e /var/spool/e-mailer/.flush-requested ] && [ ! -e "$WORK/mail/1.envelope" ] && pass ||
    fail "the traced submission: $(cat "$WORK/out" "$WORK/trace")"
  rm -f /var/spool/e-mailer/*.entry /var/spool/e-mailer/.flush-requested

  # Root without HOME delivers at once; alice with root's HOME (as cron runs an ordinary
  # user's mailer), bob with his own, www-data through PHP hand theirs in and the keeper
  # sends each within 2 seconds: each message once, through the relay's AUTH.
  start_keeper
  message root | expect "root without HOME" bare /usr/sbin/sendmail -i root-mail@example.org
  received 1 root-mail@example.org server@example.org
  message alice | expect "alice with root's HOME" as alice HOME=/root /usr/sbin/sendmail -i alice-mail@example.org
  received 2 alice-mail@example.org server@example.org
  message bob | expect "bob" as bob HOME="$WORK/home/bob" /usr/sbin/sendmail -i bob-mail@example.org
  received 3 bob-mail@example.org server@example.org
  expect "www-data through PHP" as www-data php -d 'sendmail_path=/usr/sbin/sendmail -t -i' \
    -r 'exit(mail("web-mail@example.org", "web", "from PHP") ? 0 : 1);'
  received 4 web-mail@example.org server@example.org
  [ "$(grep -c '^LOGIN user$' "$WORK/mail/logins")" = 4 ] && pass || fail "logins: $(cat "$WORK/mail/logins")"

  # No ordinary user reads the password or the spool.
  for user in alice bob www-data; do
    as "$user" cat /etc/e-mailer/SMTP.reg >/dev/null 2>&1 && fail "$user reads the settings" || pass
    as "$user" ls /var/spool/e-mailer >/dev/null 2>&1 && fail "$user lists the spool" || pass
  done

  # A stopped submission of alice holds up nobody: bob's message leaves within 2 seconds.
  mkfifo -m 666 "$WORK/held"
  (exec setpriv --reuid="$(id -u alice)" --regid="$(id -g alice)" --init-groups -- \
    env -i PATH=/usr/sbin:/usr/bin:/bin /usr/sbin/sendmail -i held@example.org <"$WORK/held" >/dev/null 2>&1) &
  local held=$!
  exec 7>"$WORK/held"
  sleep 0.2
  as alice /usr/sbin/sendmail -q >/dev/null 2>&1 || true
  kill -STOP "$held" 2>/dev/null || true
  message bob-past | expect "bob past alice's stopped sendmail" as bob /usr/sbin/sendmail -i past@example.org
  received 5 past@example.org server@example.org
  kill -KILL "$held" 2>/dev/null || true
  exec 7>&-
  wait "$held" 2>/dev/null || true

  # The password from a command reading a root:e-mailer file, for an ordinary user's
  # message (finding 3), and a LogFile of the keeper's whose lines name the user who
  # handed the message in.
  printf 'relay pass\n' >/etc/e-mailer/relay.pw
  chgrp e-mailer /etc/e-mailer/relay.pw
  chmod 0640 /etc/e-mailer/relay.pw
  install -o e-mailer -g e-mailer -m 0660 /dev/null /var/log/e-mailer.log
  local settings
  settings=$(sed 's|^"AuthPassword"="relay pass"|"AuthPasswordCommand"="cat /etc/e-mailer/relay.pw"\r|; s|^"SenderEMail"="server@example.org"|"SenderEMail"="server@example.org"\r\n"LogFile"="/var/log/e-mailer.log"|' /etc/e-mailer/SMTP.reg)
  printf '%s\n' "$settings" >/etc/e-mailer/SMTP.reg
  message command | expect "bob through the password command" as bob /usr/sbin/sendmail -i command@example.org
  received 6 command@example.org server@example.org
  sleep 0.3
  grep -q "outcome=queued .*submitter=bob uid=$(id -u bob) exit=EX_OK" /var/log/e-mailer.log &&
    grep -q "to=command@example.org .*outcome=sent .*submitter=bob uid=$(id -u bob)" /var/log/e-mailer.log && pass ||
    fail "the log: $(cat /var/log/e-mailer.log "$WORK/keeper.log")"
  stop_keeper

  # Queued: each user's entry is theirs, listed to them alone; root lists all; alice's
  # -q asks the keeper; the flush of the timer, as the user e-mailer, sends them.
  rm -f /var/spool/e-mailer/.flush-requested
  message alice-queued | expect "alice -odq" as alice /usr/sbin/sendmail -odq -i alice-q@example.org
  message bob-queued | expect "bob -odq" as bob /usr/sbin/sendmail -odq -i bob-q@example.org
  [ "$(stat -c '%U:%G %a' /var/spool/e-mailer/*.entry | sort -u)" = $'alice:e-mailer 640\nbob:e-mailer 640' ] &&
    pass || fail "entries: $(stat -c '%n %U:%G %a' /var/spool/e-mailer/*.entry)"
  as alice "$WORK/bin/mailq" >"$WORK/out" 2>&1 || true
  grep -q 'alice-q@' "$WORK/out" && ! grep -q 'bob-q@' "$WORK/out" && grep -q '^1 message' "$WORK/out" && pass ||
    fail "alice's mailq: $(cat "$WORK/out")"
  bare "$WORK/bin/mailq" >"$WORK/out" 2>&1 || true
  grep -q 'alice-q@' "$WORK/out" && grep -q 'bob-q@' "$WORK/out" && pass || fail "root's mailq: $(cat "$WORK/out")"
  expect "alice -q" as alice /usr/sbin/sendmail -q
  [ -e /var/spool/e-mailer/.flush-requested ] && [ ! -e "$WORK/mail/7.envelope" ] && pass ||
    fail "alice's -q did not ask the keeper, or sent"
  # The command and user of the timer's unit, with the program under test.
  local unit="$SOURCE_DIR/packaging/systemd/system/e-mailer-flush.service" exec_start
  exec_start=$(sed -n 's/^ExecStart=//p' "$unit")
  [ "$(sed -n 's/^User=//p' "$unit")" = e-mailer ] && pass || fail "the unit's user is not e-mailer"
  # shellcheck disable=SC2086 # the unit's arguments, split as systemd splits them
  expect "the timer's flush as e-mailer" as e-mailer "$WORK/e-mailer" ${exec_start#/usr/bin/e-mailer}
  grep -q 'RCPT TO:<alice-q@example.org>' "$WORK/mail/7.envelope" 2>/dev/null && pass || fail "alice-q was not sent"
  received 8 bob-q@example.org server@example.org
  # An account in the system's settings, chosen by the sender: the entry keeps it, the
  # listing shows it, and the timer's flush sends it through it (the same relay here,
  # whose password the account takes from the default values: same server and user).
  printf '\r\n[HKEY_LOCAL_MACHINE\\software\\Zelkor\\Kestrum\\SMTP\\Accounts\\web]\r\n"SenderMatch"="*@web.example"\r\n' \
    >>/etc/e-mailer/SMTP.reg
  message bob-web | expect "bob -odq through an account" as bob /usr/sbin/sendmail -odq -i -f bob@web.example web-q@example.org
  as bob "$WORK/bin/mailq" >"$WORK/out" 2>&1 || true
  grep -qx '    account: web' "$WORK/out" && pass || fail "bob's mailq of an account: $(cat "$WORK/out")"
  # shellcheck disable=SC2086 # as above
  expect "the timer's flush of an account" as e-mailer "$WORK/e-mailer" ${exec_start#/usr/bin/e-mailer}
  received 9 web-q@example.org bob@web.example
  [ -z "$(ls /var/spool/e-mailer/*.entry 2>/dev/null)" ] && pass || fail "left in the spool: $(ls /var/spool/e-mailer)"

  # A user's own settings win, and are read without the group: a link to the system's
  # file is not read; a file of her own sends with her settings into her own queue.
  local own="$WORK/home/alice/.config/Zelkor/Kestrum"
  as alice mkdir -p "$own"
  as alice ln -s /etc/e-mailer/SMTP.reg "$own/SMTP.reg"
  status=0
  message link | as alice HOME="$WORK/home/alice" /usr/sbin/sendmail -i x@example.org >"$WORK/out" 2>&1 ||
    status=$?
  [ "$status" = 78 ] && grep -q "$own/SMTP.reg: Permission denied" "$WORK/out" && ! grep -q 'relay pass' "$WORK/out" &&
    pass || fail "a link to the system's settings: exit $status: $(cat "$WORK/out")"
  as alice rm "$own/SMTP.reg"
  printf 'REGEDIT4\n[HKEY_CURRENT_USER\\software\\Zelkor\\Kestrum\\SMTP]\n"Server"="127.0.0.1"\n"Port"="%s"\n"AuthMethod"=dword:2\n"AuthUser"="user"\n"AuthPassword"="relay pass"\n"SenderEMail"="alice@example.org"\n' \
    "$PORT" | as alice sh -c "umask 077; cat >'$own/SMTP.reg'"
  message own | expect "alice's own settings" as alice HOME="$WORK/home/alice" /usr/sbin/sendmail -i own@example.org
  received 10 own@example.org alice@example.org
  message passwd | expect "alice's own settings through her passwd entry" as alice HOME=/root /usr/sbin/sendmail -i pw@example.org
  received 11 pw@example.org alice@example.org
  message own-queued | expect "alice's own queue" as alice HOME="$WORK/home/alice" /usr/sbin/sendmail -odq -i own-q@example.org
  [ -n "$(ls "$WORK/home/alice/.local/state/e-mailer/queue/"*.entry 2>/dev/null)" ] &&
    [ -z "$(ls /var/spool/e-mailer/*.entry 2>/dev/null)" ] && pass || fail "alice's own queue is not hers"

  # Purge: says how many messages the spool held, then removes what the postinst made.
  message left | expect "bob -odq before the purge" as bob /usr/sbin/sendmail -odq -i left@example.org
  rm /etc/e-mailer/relay.pw  # the administrator's own file, which the purge keeps
  expect purge maintainer_script postrm purge
  grep -q 'removing /var/spool/e-mailer, which held 1 queued message' "$WORK/out" && pass ||
    fail "purge: $(cat "$WORK/out")"
  [ ! -e /var/spool/e-mailer ] && [ ! -e /etc/e-mailer ] && ! getent passwd e-mailer >/dev/null &&
    ! getent group e-mailer >/dev/null && ! dpkg-statoverride --list /usr/sbin/sendmail >/dev/null && pass ||
    fail "purge left: $(ls -d /var/spool/e-mailer /etc/e-mailer 2>&1; getent passwd e-mailer; dpkg-statoverride --list /usr/sbin/sendmail)"

  echo "$passed passed, $failures failed"
  [ "$failures" -eq 0 ]
}

if [ "$in_namespace" = 1 ]; then
  steps
  exit
fi

if [ "$(id -u)" -ne 0 ]; then
  echo "skipped: the mount namespace needs the super-user"
  exit 0
fi
work=$(mktemp -d /tmp/system-mode-XXXXXX)
chmod 755 "$work"
source "$source_dir/scripts/lib/smtp_test_server.sh"
cleanup() {
  stop_smtp_test_server
  rm -rf "$work"
}
trap cleanup EXIT

mkdir "$work/mail"
: >"$work/mail/server.log"  # there before the server's own start writes it
start_smtp_test_server "$work/mail" --auth LOGIN --auth-required --password 'relay pass'
port=$SMTP_SERVER_PORT

cp "$program" "$work/e-mailer"
export WORK=$work PORT=$port SOURCE_DIR=$source_dir
sh "$source_dir/tests/support/with_system_overlays.sh" "$work" bash "$(realpath "$0")" --in-namespace
