#!/usr/bin/env bash
# Builds the Debian packages (scripts/package), unpacks them into a temporary root with
# dpkg -x as they would land on a machine, and checks them the way Debian and a user
# would: the files and their modes, the dependencies (GTK only for the window module),
# lintian (no errors), the manual page (no groff or man warnings) and the installed
# program itself, which sends a message to a local SMTP server. Exits non-zero when a
# check fails.
set -uo pipefail
cd "$(dirname "$0")/../.."

failures=0
fail() {
  echo "FAILED: $*" >&2
  failures=$((failures + 1))
}
# The lines of standard input, indented, after a line break: the details of a failure.
details() {
  printf '\n'
  sed 's/^/  /'
}

mapfile -t debs < <(scripts/package) || { echo "FAILED: scripts/package" >&2; exit 1; }
core=$(printf '%s\n' "${debs[@]}" | grep '/e-mailer_[^/]*\.deb$')
gtk=$(printf '%s\n' "${debs[@]}" | grep '/e-mailer-gtk_[^/]*\.deb$')
[ -n "$core" ] && [ -n "$gtk" ] || { echo "FAILED: packages e-mailer and e-mailer-gtk not both built: ${debs[*]}" >&2; exit 1; }

source scripts/lib/smtp_test_server.sh
work=$(mktemp -d)
trap 'stop_smtp_test_server; rm -rf "$work"' EXIT
root=$work/root
dpkg -x "$core" "$root" && dpkg -x "$gtk" "$root" || { echo "FAILED: dpkg -x" >&2; exit 1; }

# Every file and folder with its mode, as a user finds them after installing both.
expected_layout='755 usr
755 usr/bin
755 usr/bin/e-mailer
755 usr/lib
755 usr/lib/e-mailer
644 usr/lib/e-mailer/e-mailer-gtk.so
755 usr/share
755 usr/share/doc
755 usr/share/doc/e-mailer
644 usr/share/doc/e-mailer-gtk/changelog.Debian.gz
644 usr/share/doc/e-mailer-gtk/copyright
755 usr/share/doc/e-mailer-gtk
644 usr/share/doc/e-mailer/changelog.Debian.gz
644 usr/share/doc/e-mailer/copyright
755 usr/share/man
755 usr/share/man/man1
644 usr/share/man/man1/e-mailer.1.gz'
layout=$(cd "$root" && find usr -printf '%m %p\n' | sort -k2)
[ "$layout" = "$(sort -k2 <<<"$expected_layout")" ] ||
  fail "installed layout differs (< expected, > found):$(diff <(sort -k2 <<<"$expected_layout") <(echo "$layout") | details)"

# The program runs without GTK: neither its package nor its binary needs it. The window
# module, and it alone, brings GTK along, and the program recommends it.
depends=$(dpkg-deb -f "$core" Depends)
recommends=$(dpkg-deb -f "$core" Recommends)
grep -Eq 'gtk|glib|pango' <<<"$depends" && fail "e-mailer depends on GTK: $depends"
for library in libc6 libstdc++6 libssl3 libuuid1; do
  grep -q "$library" <<<"$depends" || fail "e-mailer does not depend on $library: $depends"
done
for package in e-mailer-gtk gss-ntlmssp; do
  grep -q "$package" <<<"$recommends" || fail "e-mailer does not recommend $package: $recommends"
done
readelf -d "$root/usr/bin/e-mailer" | grep NEEDED | grep -Eq 'gtk|glib' &&
  fail "usr/bin/e-mailer links GTK"
gtk_depends=$(dpkg-deb -f "$gtk" Depends)
grep -q "e-mailer (= $(dpkg-deb -f "$core" Version))" <<<"$gtk_depends" ||
  fail "e-mailer-gtk does not depend on this very e-mailer: $gtk_depends"
grep -q 'libgtk-3-0' <<<"$gtk_depends" || fail "e-mailer-gtk does not depend on libgtk-3-0: $gtk_depends"
ldd "$root/usr/lib/e-mailer/e-mailer-gtk.so" | grep -q 'not found' &&
  fail "the window module misses libraries: $(ldd "$root/usr/lib/e-mailer/e-mailer-gtk.so" | grep 'not found')"
# Stripped, yet still offering the two functions the program looks up.
for binary in usr/bin/e-mailer usr/lib/e-mailer/e-mailer-gtk.so; do
  readelf -S "$root/$binary" | grep -q '\.symtab' && fail "$binary is not stripped"
  readelf -S "$root/$binary" | grep -q '\.debug_' && fail "$binary holds debugging sections"
done
/usr/bin/python3 -c 'import ctypes, sys
module = ctypes.CDLL(sys.argv[1])
module.EmailerShowMessageBox, module.EmailerRunResultDialog' \
  "$root/usr/lib/e-mailer/e-mailer-gtk.so" || fail "the installed window module does not load"

# lintian: errors fail the test; warnings are shown (they are listed in the README).
# (As root it also says that running as root is not recommended; that line is dropped.)
lintian --fail-on error "$core" "$gtk" >"$work/lintian" 2>&1
lintian_status=$?
sed -i '/running with root privileges/d' "$work/lintian"
if [ "$lintian_status" -ne 0 ]; then
  fail "lintian reports errors:$(details <"$work/lintian")"
elif [ -s "$work/lintian" ]; then
  sed 's/^/lintian: /' "$work/lintian"
fi

# The installed manual page is the one in doc/ and renders without a warning.
man_page=$root/usr/share/man/man1/e-mailer.1.gz
zcat "$man_page" | cmp -s - doc/e-mailer.1 || fail "the installed manual page is not doc/e-mailer.1"
warnings=$(zcat "$man_page" | groff -man -ww -z 2>&1)
[ -z "$warnings" ] || fail "groff warns about the manual page:$(details <<<"$warnings")"
warnings=$(LC_ALL=C.UTF-8 MANROFFSEQ='' MANWIDTH=80 man --warnings -E UTF-8 -l -Tutf8 -Z "$man_page" 2>&1 >/dev/null)
[ -z "$warnings" ] || fail "man warns about the manual page:$(details <<<"$warnings")"

# The installed program, in a bare environment without a display, as cron starts it.
mailer=$root/usr/bin/e-mailer
run_mailer() {
  env -i PATH=/usr/bin:/bin HOME="$work/home" XDG_CONFIG_HOME="$work/config" "$mailer" "$@" \
    >"$work/stdout" 2>"$work/stderr"
}
mkdir "$work/home"

# Without a subject nothing is done: exit 64, no output, no setting read (so no
# settings file created).
expect_nothing_done() {
  run_mailer "$@"
  local status=$?
  [ "$status" -eq 64 ] || fail "e-mailer $*: exit status $status, not 64"
  [ ! -s "$work/stdout" ] && [ ! -s "$work/stderr" ] ||
    fail "e-mailer $*: printed $(cat "$work/stdout" "$work/stderr")"
  [ ! -e "$work/config" ] || fail "e-mailer $*: created $(find "$work/config")"
}
expect_nothing_done
expect_nothing_done -ShowUI
expect_nothing_done "" "a body" /showui

# The installed program sends one message, from the same bare environment, to the SMTP
# test server of the session tests (aiosmtpd, tests/support/smtp_server.py) on a free
# port of 127.0.0.1: exit status 0, nothing printed, and the server has the message with
# its sender, recipient, subject and body.
mkdir "$work/received"
if start_smtp_test_server "$work/received"; then
  mkdir -p "$work/config/Zelkor/Kestrum"
  printf '%s\r\n' 'Windows Registry Editor Version 5.00' '' \
    '[HKEY_CURRENT_USER\software\Zelkor\Kestrum\SMTP]' '"Server"="127.0.0.1"' \
    "\"Port\"=\"$SMTP_SERVER_PORT\"" '"SenderName"="Package test"' \
    '"SenderEMail"="package@example.com"' '"RecipientName"="Admin"' \
    '"RecipientEMail"="admin@example.com"' >"$work/config/Zelkor/Kestrum/SMTP.reg"
  run_mailer "Packaged" "Sent by the installed program"
  status=$?
  stop_smtp_test_server
  [ "$status" -eq 0 ] || fail "e-mailer sending a message: exit status $status"
  [ ! -s "$work/stdout" ] && [ ! -s "$work/stderr" ] ||
    fail "e-mailer sending a message printed:$(cat "$work/stdout" "$work/stderr" | details)"
  expected_envelope=$'MAIL FROM:<package@example.com>\nRCPT TO:<admin@example.com>'
  [ "$(cat "$work/received/1.envelope" 2>/dev/null)" = "$expected_envelope" ] ||
    fail "the server's envelope differs:$(cat "$work/received/1.envelope" 2>&1 | details)"
  for line in 'From: Package test <package@example.com>' 'To: Admin <admin@example.com>' \
    'Subject: Packaged' 'Sent by the installed program'; do
    tr -d '\r' <"$work/received/1.eml" 2>/dev/null | grep -Fqx "$line" ||
      fail "the received message lacks \"$line\":$(cat "$work/received/1.eml" 2>&1 | details)"
  done
else
  fail "the SMTP test server did not start"
fi

if [ "$failures" -ne 0 ]; then
  echo "packaging: $failures check(s) failed" >&2
  exit 1
fi
echo "packaging: every check passed ($(basename "$core"), $(basename "$gtk"))"
