#!/usr/bin/env bash
# The programs that call /usr/sbin/sendmail, from Debian's packages, sending through the
# sendmail face to aiosmtpd on a free port of 127.0.0.1: bsd-mailx (mail -s), git
# send-email with a patch (and with two identities whose From chooses the account, and so
# one of two more aiosmtpd), PHP's mail(), NeoMutt in batch mode, and Debian's cron
# mailing a job's output. Each message is read back with Python's email package and
# Email::MIME. Cron runs in a mount namespace of its own, where its crontab spool,
# /etc/crontab, /etc/cron.d, /run and /usr/sbin/sendmail are this test's, so the
# machine's own cron, crontabs and mail system are never touched.
# Usage: sendmail_callers_test.sh PROGRAM SUPPORT_DIR
set -euo pipefail
program=$1
support=$2
source "$support/../../scripts/lib/smtp_test_server.sh"
# ctest gives the test its own standard input, which is the user's terminal when run from
# one: nothing here may wait on it.
exec </dev/null
work=$(mktemp -d /tmp/sendmail-callers-XXXXXX)
server_pids=()
cron_pid=""
failures=0
passed=0
# fail TEXT [LOG]: a failure, named by TEXT, and the lines of LOG under it.
fail() {
  echo "FAIL: $1"
  [ -z "${2:-}" ] || sed 's/^/    /' "$2"
  failures=$((failures + 1))
}
hex() { printf '%s' "$1" | od -An -v -tx1 | tr -d ' \n'; }

cleanup() {
  stop_processes "${server_pids[@]}" ${cron_pid:+"$cron_pid"}
  rm -rf "$work"
}
trap cleanup EXIT

# Waits up to the given seconds for a file to exist.
wait_for() {
  local file=$1 end=$((SECONDS + $2))
  until [ -e "$file" ]; do
    [ "$SECONDS" -le "$end" ] || return 1
    sleep 0.1
  done
}

# Every wait of the test has its limit, and they add up to less than ctest's 300 s for
# it, so a step that hangs is named: 10 s for each server's start, 10 s (and 2 more
# before SIGKILL) for each of the 7 callers' runs, 5 s for each of their 6 messages, 80 s
# for cron's message and 5 s for each of the 2 stops, about 250 s in all.
caller_seconds=10
message_seconds=5

# step NAME INPUT COMMAND...: runs a caller with INPUT as its standard input, in a
# session of its own (so without a terminal: git send-email asks on /dev/tty where there
# is one) and its output in $work/step.log; after $caller_seconds the command and all it
# started are killed. Fails naming the step, with its output.
step() {
  local name=$1 input=$2 status=0
  shift 2
  setsid -w timeout -k 2 "$caller_seconds" "$@" <"$input" >"$work/step.log" 2>&1 || status=$?
  case $status in
    0) return 0 ;;
    124 | 137) fail "$name: timed out after $caller_seconds s" "$work/step.log" ;;
    *) fail "$name: exit status $status" "$work/step.log" ;;
  esac
  return 1
}

# Starts aiosmtpd keeping its messages in $work/$1; sets port to the port it listens on.
start_server() {
  mkdir -p "$work/$1"
  start_smtp_test_server "$work/$1" || { fail "the SMTP test server $1 did not start"; exit 1; }
  server_pids+=("$SMTP_SERVER_PID")
  port=$SMTP_SERVER_PORT
}

mkdir -p "$work/home" "$work/bin" "$work/real"
# Two more relays for the accounts work and private, which git send-email's --from
# chooses; the default's comes last, as the settings below name it $port.
start_server work-mail
work_port=$port
start_server private-mail
private_port=$port
start_server mail

config="$work/config"
mkdir -p "$config/Zelkor/Kestrum"
key='[HKEY_CURRENT_USER\software\Zelkor\Kestrum\SMTP'
printf 'Windows Registry Editor Version 5.00\r\n\r\n%s]\r\n"Server"="127.0.0.1"\r\n"Port"="%s"\r\n"SenderName"="Backup job"\r\n"SenderEMail"="backup@example.com"\r\n"Aliases"="%s"\r\n' \
  "$key" "$port" "$work/aliases" >"$config/Zelkor/Kestrum/SMTP.reg"
printf '\r\n%s\\Accounts\\%s]\r\n"Port"="%s"\r\n"SenderEMail"="%s"\r\n"SenderMatch"="%s"\r\n' \
  "$key" work "$work_port" dev@work.example '*@work.example' \
  "$key" private "$private_port" dev@private.example 'dev@private.example' >>"$config/Zelkor/Kestrum/SMTP.reg"
printf 'root: ops@example.com\n' >"$work/aliases"

# The caller runs this wrapper as its sendmail: it notes the command line and runs the
# program under the name sendmail with this test's settings, whatever environment the
# caller gives it (cron gives its own).
ln -s "$program" "$work/real/sendmail"
cat >"$work/bin/sendmail" <<WRAPPER
#!/bin/sh
printf '%s\n' "\$*" >>"$work/calls"
XDG_CONFIG_HOME="$config" LC_ALL=C.UTF-8 exec "$work/real/sendmail" "\$@"
WRAPPER
chmod 755 "$work/bin/sendmail" "$work"

export HOME="$work/home" LC_ALL=C.UTF-8
unset DISPLAY WAYLAND_DISPLAY

# check NAME SECONDS LOG ENVELOPE LINE...: the next message reached the server within
# SECONDS with this envelope (else the failure shows LOG, the sender's output), both
# readers read the same, and Python's reader shows each LINE.
next=1
check() {
  local name=$1 seconds=$2 log=$3 envelope=$4 n=$next
  shift 4
  if ! wait_for "$work/mail/$n.eml" "$seconds"; then
    fail "$name: no message within $seconds s" "$log"; return
  fi
  next=$((next + 1))
  local got
  got=$(cat "$work/mail/$n.envelope")
  [ "$got" = "$envelope" ] || fail "$name: envelope '$got', not '$envelope'"
  /usr/bin/python3 "$support/parse_message.py" "$work/mail/$n.eml" >"$work/python.txt"
  /usr/bin/perl "$support/parse_message.pl" "$work/mail/$n.eml" >"$work/perl.txt"
  # The readers differ on the To line of a local name (cron's "To: root"), which the
  # sendmail face leaves as it is: Python takes it for an address, Perl for a name.
  local same='^(defects |to - 726f6f74$|to 726f6f74 -$)'
  diff <(grep -Ev "$same" "$work/python.txt") <(grep -Ev "$same" "$work/perl.txt") >"$work/diff.txt" ||
    fail "$name: the readers differ: $(head -5 "$work/diff.txt")"
  grep -q '^defects 0$' "$work/python.txt" || fail "$name: Python's reader found defects"
  local line
  for line in "$@"; do
    grep -qxF "$line" "$work/python.txt" || fail "$name: no line '$line' in $(cat "$work/python.txt")"
  done
  grep -qi '^bcc:' "$work/mail/$n.eml" && fail "$name: a Bcc line was delivered"
  passed=$((passed + 1))
}

# bsd-mailx: "mail -s" with the sendmail variable of its start-up file.
printf 'set sendmail=%s\n' "$work/bin/sendmail" >"$HOME/.mailrc"
printf 'disk 99%% full on /var\n' >"$work/mail.txt"
step mail "$work/mail.txt" mail -s "disk full" -b hidden@example.com admin@example.com &&
  check mail "$message_seconds" "$work/step.log" $'MAIL FROM:<backup@example.com>\nRCPT TO:<admin@example.com>\nRCPT TO:<hidden@example.com>' \
  "subject $(hex 'disk full')" "from $(hex 'Backup job') $(hex backup@example.com)" \
  "part text/plain - $(hex $'disk 99% full on /var\n')"

# git send-email with a patch, its --sendmail-cmd the sendmail face.
repo="$work/repo"
git init -q "$repo"
git -C "$repo" -c user.name=Dev -c user.email=dev@example.com commit -q --allow-empty -m "first"
printf 'caf\xc3\xa9\n' >"$repo/file.txt"
git -C "$repo" add file.txt
git -C "$repo" -c user.name="Dév Eloper" -c user.email=dev@example.com commit -q -m "Add a file"
git -C "$repo" format-patch -q -1 -o "$work/patches"
# The patch's 8-bit text has no Content-Transfer-Encoding, so git send-email asks which
# charset to declare; on its standard input here, /dev/null, which takes the default
# (UTF-8).
step "git send-email" /dev/null git -C "$repo" -c user.name="Dév Eloper" -c user.email=dev@example.com \
  send-email --quiet --sendmail-cmd="$work/bin/sendmail" --to=list@example.com --cc=reviewer@example.com \
  --bcc=archive@example.com --confirm=never --suppress-cc=all "$work/patches"/*.patch &&
  check "git send-email" "$message_seconds" "$work/step.log" \
  $'MAIL FROM:<backup@example.com>\nRCPT TO:<list@example.com>\nRCPT TO:<reviewer@example.com>\nRCPT TO:<archive@example.com>' \
  "subject $(hex '[PATCH] Add a file')" "from $(hex 'Dév Eloper') $(hex dev@example.com)" \
  "to - $(hex list@example.com)"
grep -q $'^+café\r$' "$work/mail/$((next - 1)).eml" || fail "git send-email: the patch's line is not in the message"

# git send-email with two identities: the From line of its --from (given, or the
# identity's sendemail.<identity>.from) chooses the account, and so the relay.
git -C "$repo" config user.name Dev
git -C "$repo" config user.email dev@example.com
git -C "$repo" config sendemail.work.from "Dév Eloper <dev@work.example>"
git -C "$repo" config sendemail.private.from "Dev <dev@private.example>"
for identity in work private; do
  step "git send-email --identity=$identity" /dev/null git -C "$repo" send-email --quiet \
    --identity="$identity" --sendmail-cmd="$work/bin/sendmail" --to=list@example.com --confirm=never \
    --suppress-cc=all "$work/patches"/*.patch || true
done
step "git send-email --from" /dev/null git -C "$repo" send-email --quiet --from="Dev <dev@work.example>" \
  --sendmail-cmd="$work/bin/sendmail" --to=list@example.com --confirm=never --suppress-cc=all \
  "$work/patches"/*.patch || true
wait_for "$work/work-mail/2.envelope" "$message_seconds" && wait_for "$work/private-mail/1.envelope" "$message_seconds" ||
  fail "git send-email with identities: a message did not reach its relay"
for relay in work:1:dev@work.example work:2:dev@work.example private:1:dev@private.example; do
  IFS=: read -r name n sender <<<"$relay"
  [ "$(cat "$work/$name-mail/$n.envelope" 2>/dev/null)" = $'MAIL FROM:<'"$sender"$'>\nRCPT TO:<list@example.com>' ] ||
    fail "git send-email through $name: envelope '$(cat "$work/$name-mail/$n.envelope" 2>/dev/null)'"
done
[ ! -e "$work/work-mail/3.eml" ] && [ ! -e "$work/private-mail/2.eml" ] && [ ! -e "$work/mail/$next.eml" ] ||
  fail "git send-email with identities: a message went through another relay"
passed=$((passed + 1))

# PHP's mail() through sendmail_path, as PHP's default "sendmail -t -i"; PHP ends the
# message with a line end of its own.
# It exits 1 where mail() returns false.
step php /dev/null php -d sendmail_path="$work/bin/sendmail -t -i" -r \
  'exit(mail("admin@example.com", "php subject", "line one\n.\nline three", "From: Web Site <web@example.org>\r\nBcc: secret@example.com\r\nContent-Type: text/plain; charset=UTF-8") ? 0 : 1);' &&
  check php "$message_seconds" "$work/step.log" $'MAIL FROM:<backup@example.com>\nRCPT TO:<admin@example.com>\nRCPT TO:<secret@example.com>' \
  "subject $(hex 'php subject')" "from $(hex 'Web Site') $(hex web@example.org)" \
  "part text/plain - $(hex $'line one\n.\nline three\n')"

# NeoMutt in batch mode, its sendmail the sendmail face.
cat >"$work/muttrc" <<MUTTRC
set sendmail="$work/bin/sendmail -oem -oi"
set from="Mutt User <mutt@example.com>"
set use_from=yes
set envelope_from=yes
set record=""
set folder="$work"
set charset="utf-8"
set send_charset="utf-8"
MUTTRC
printf 'na\xc3\xafve text\n' >"$work/mutt.txt"
step neomutt "$work/mutt.txt" neomutt -n -F "$work/muttrc" -s "mutt subject" -- admin@example.com &&
  check neomutt "$message_seconds" "$work/step.log" $'MAIL FROM:<mutt@example.com>\nRCPT TO:<admin@example.com>' \
  "subject $(hex 'mutt subject')" "from $(hex 'Mutt User') $(hex mutt@example.com)" \
  "part text/plain - $(hex $'na\xc3\xafve text\n')"

# Debian's cron mailing a job's output to root, which the aliases file knows.
if [ "$(id -u)" -ne 0 ]; then
  echo "cron: skipped (the mount namespace needs the super-user)"
else
  mkdir -p "$work/cron/crontabs" "$work/cron/cron.d"
  : >"$work/cron/crontab"
  printf 'MAILTO=root\n* * * * * printf "report line\\n\\303\\251t\\303\\251\\n"\n' >"$work/cron/crontabs/root"
  chmod 600 "$work/cron/crontabs/root"
  unshare --mount --propagation private -- /bin/sh -c '
    set -e
    mount --bind "$1/cron/crontabs" /var/spool/cron/crontabs
    mount --bind "$1/cron/cron.d" /etc/cron.d
    mount --bind "$1/cron/crontab" /etc/crontab
    mount --bind "$1/bin/sendmail" /usr/sbin/sendmail
    mount -t tmpfs tmpfs /run
    exec cron -f' sh "$work" >"$work/cron.log" 2>&1 &
  cron_pid=$!
  # The job runs at the start of the next minute: at most 60 seconds, and a margin.
  check cron 80 "$work/cron.log" $'MAIL FROM:<backup@example.com>\nRCPT TO:<ops@example.com>' \
    "from $(hex CronDaemon) $(hex backup@example.com)" "part text/plain - $(hex $'report line\nété\n')"
  stop_processes "$cron_pid"
  cron_pid=""
fi

echo "The callers' command lines:"
cat "$work/calls"
echo "$passed passed, $failures failed"
[ "$failures" -eq 0 ]
