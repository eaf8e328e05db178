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
# received N RECIPIENT SENDER: message N reached the server, and message N+1 did not.
received() {
  local n=$1 envelope
  envelope=$(cat "$WORK/mail/$n.envelope" 2>/dev/null || true)
  [ "$envelope" = $'MAIL FROM:<'"$3"$'>\nRCPT TO:<'"$2"'>' ] || { fail "message $n: envelope '$envelope'"; return; }
  [ ! -e "$WORK/mail/$((n + 1)).eml" ] || { fail "message $n: a message $((n + 1)) came too"; return; }
  pass
}

steps() {
  cd /
  cp "$WORK/e-mailer" /usr/sbin/sendmail
  mkdir "$WORK/bin"
  ln -s /usr/sbin/sendmail "$WORK/bin/mailq"
  expect postinst maintainer_script postinst configure
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

  # Root without HOME, alice with root's HOME (as cron runs an ordinary user's mailer),
  # bob with his own, www-data through PHP: each message once, through the relay's AUTH.
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

  # Queued: each user's entry is theirs, listed to them alone; root lists all; alice's
  # flush sends hers only; the flush of the timer, as the user e-mailer, sends the rest.
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
  received 5 alice-q@example.org server@example.org
  # The command and user of the timer's unit, with the program under test.
  local unit="$SOURCE_DIR/packaging/systemd/system/e-mailer-flush.service" exec_start
  exec_start=$(sed -n 's/^ExecStart=//p' "$unit")
  [ "$(sed -n 's/^User=//p' "$unit")" = e-mailer ] && pass || fail "the unit's user is not e-mailer"
  # shellcheck disable=SC2086 # the unit's arguments, split as systemd splits them
  expect "the timer's flush as e-mailer" as e-mailer "$WORK/e-mailer" ${exec_start#/usr/bin/e-mailer}
  received 6 bob-q@example.org server@example.org
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
  received 7 web-q@example.org bob@web.example
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
  received 8 own@example.org alice@example.org
  message passwd | expect "alice's own settings through her passwd entry" as alice HOME=/root /usr/sbin/sendmail -i pw@example.org
  received 9 pw@example.org alice@example.org
  message own-queued | expect "alice's own queue" as alice HOME="$WORK/home/alice" /usr/sbin/sendmail -odq -i own-q@example.org
  [ -n "$(ls "$WORK/home/alice/.local/state/e-mailer/queue/"*.entry 2>/dev/null)" ] &&
    [ -z "$(ls /var/spool/e-mailer/*.entry 2>/dev/null)" ] && pass || fail "alice's own queue is not hers"

  # Purge: says how many messages the spool held, then removes what the postinst made.
  message left | expect "bob -odq before the purge" as bob /usr/sbin/sendmail -odq -i left@example.org
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
start_smtp_test_server "$work/mail" --auth LOGIN --auth-required --password 'relay pass'
port=$SMTP_SERVER_PORT

cp "$program" "$work/e-mailer"
export WORK=$work PORT=$port SOURCE_DIR=$source_dir
sh "$source_dir/tests/support/with_system_overlays.sh" "$work" bash "$(realpath "$0")" --in-namespace
