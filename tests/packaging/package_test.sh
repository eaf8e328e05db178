#!/usr/bin/env bash
# Builds the Debian packages (scripts/package), unpacks them into a temporary root with
# dpkg -x as they would land on a machine, and checks them the way Debian and a user
# would: the files and their modes, the dependencies (GTK only for the window module;
# the program without the engine's library package), the library's SONAME, lintian (no
# errors), the manual page (no groff or man warnings) and the installed program itself,
# which sends a message to a local SMTP server. The engine's examples are built and run
# against the library packages by examples_test.sh. Exits non-zero when a check fails.
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
runtime=$(printf '%s\n' "${debs[@]}" | grep '/libe-mailer-smtp[0-9.]*_[^/]*\.deb$')
dev=$(printf '%s\n' "${debs[@]}" | grep '/e-mailer-dev_[^/]*\.deb$')
mta=$(printf '%s\n' "${debs[@]}" | grep '/e-mailer-mta_[^/]*\.deb$')
[ -n "$core" ] && [ -n "$gtk" ] && [ -n "$runtime" ] && [ -n "$dev" ] && [ -n "$mta" ] ||
  { echo "FAILED: packages e-mailer, e-mailer-gtk, libe-mailer-smtpX.Y, e-mailer-dev, e-mailer-mta not all built: ${debs[*]}" >&2; exit 1; }

source scripts/lib/smtp_test_server.sh
work=$(mktemp -d)
trap 'stop_smtp_test_server; rm -rf "$work"' EXIT
root=$work/root
for deb in "$core" "$gtk" "$runtime" "$dev" "$mta"; do
  dpkg -x "$deb" "$root" || { echo "FAILED: dpkg -x $deb" >&2; exit 1; }
done
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
library_package=$(dpkg-deb -f "$runtime" Package)

# Every file and folder with its mode, as a user finds them after installing all four;
# below usr/include/e-mailer, the headers that the public ones include, which the
# examples test checks (each compiles alone), so they are not listed here.
expected_layout='755 usr
755 usr/bin
755 usr/bin/e-mailer
777 usr/bin/e-mailer-sendmail
755 usr/sbin
755 usr/sbin/sendmail
777 usr/lib/sendmail
777 usr/bin/mailq
777 usr/bin/newaliases
777 usr/share/man/man1/mailq.1.gz
755 usr/lib/systemd
755 usr/lib/systemd/system
644 usr/lib/systemd/system/e-mailer-flush.path
644 usr/lib/systemd/system/e-mailer-flush.service
644 usr/lib/systemd/system/e-mailer-flush.timer
755 usr/lib/systemd/user
644 usr/lib/systemd/user/e-mailer-flush.service
644 usr/lib/systemd/user/e-mailer-flush.timer
755 usr/share/man/man8
644 usr/share/man/man8/e-mailer-sendmail.8.gz
777 usr/share/man/man8/sendmail.8.gz
777 usr/share/man/man8/newaliases.8.gz
755 usr/share/doc/e-mailer-mta
644 usr/share/doc/e-mailer-mta/changelog.Debian.gz
644 usr/share/doc/e-mailer-mta/copyright
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
644 usr/share/man/man1/e-mailer.1.gz
755 usr/include
755 usr/include/e-mailer
755 usr/lib/MULTIARCH
755 usr/lib/MULTIARCH/cmake
755 usr/lib/MULTIARCH/cmake/EMailer
644 usr/lib/MULTIARCH/cmake/EMailer/EMailerConfig.cmake
644 usr/lib/MULTIARCH/cmake/EMailer/EMailerConfigVersion.cmake
644 usr/lib/MULTIARCH/cmake/EMailer/EMailerTargets-none.cmake
644 usr/lib/MULTIARCH/cmake/EMailer/EMailerTargets.cmake
644 usr/lib/MULTIARCH/libe-mailer-smtp.a
777 usr/lib/MULTIARCH/libe-mailer-smtp.so
777 usr/lib/MULTIARCH/libe-mailer-smtp.so.0.1
644 usr/lib/MULTIARCH/libe-mailer-smtp.so.0.1.0
755 usr/lib/MULTIARCH/pkgconfig
644 usr/lib/MULTIARCH/pkgconfig/e-mailer-smtp.pc
755 usr/share/doc/e-mailer-dev
644 usr/share/doc/e-mailer-dev/changelog.Debian.gz
644 usr/share/doc/e-mailer-dev/copyright
644 usr/share/doc/e-mailer-dev/engine-guide.md
755 usr/share/doc/e-mailer-dev/examples
644 usr/share/doc/e-mailer-dev/examples/CMakeLists.txt
644 usr/share/doc/e-mailer-dev/examples/dsn_message.cpp
644 usr/share/doc/e-mailer-dev/examples/implicit_tls.cpp
644 usr/share/doc/e-mailer-dev/examples/mime_message.cpp
644 usr/share/doc/e-mailer-dev/examples/plain_message.cpp
644 usr/share/doc/e-mailer-dev/examples/report_failure.h
644 usr/share/doc/e-mailer-dev/examples/socks5_proxy.cpp
644 usr/share/doc/e-mailer-dev/examples/starttls.cpp
755 usr/share/doc/LIBRARY
644 usr/share/doc/LIBRARY/changelog.Debian.gz
644 usr/share/doc/LIBRARY/copyright'
expected_layout=${expected_layout//MULTIARCH/$multiarch}
expected_layout=${expected_layout//LIBRARY/$library_package}
layout=$(cd "$root" && find usr -path usr/include/e-mailer/\* -prune -o -printf '%m %p\n' | sort -k2)
[ "$layout" = "$(sort -k2 <<<"$expected_layout")" ] ||
  fail "installed layout differs (< expected, > found):$(diff <(sort -k2 <<<"$expected_layout") <(echo "$layout") | details)"

# The program runs without GTK: neither its package nor its binary needs it. The window
# module, and it alone, brings GTK along, and the program recommends it. The program
# holds the engine itself and needs no library package.
depends=$(dpkg-deb -f "$core" Depends)
recommends=$(dpkg-deb -f "$core" Recommends)
grep -Eq 'gtk|glib|pango' <<<"$depends" && fail "e-mailer depends on GTK: $depends"
grep -q 'e-mailer-smtp' <<<"$depends" && fail "e-mailer depends on the engine's library: $depends"
# The program carries its C++ run-time inside (it starts faster that way); OpenSSL stays
# the system's, so its configuration and updates apply.
for library in libc6 libssl3 libidn2-0 libcurl4; do
  grep -q "$library" <<<"$depends" || fail "e-mailer does not depend on $library: $depends"
done
readelf -d "$root/usr/bin/e-mailer" | grep NEEDED | grep -q 'libstdc++' &&
  fail "usr/bin/e-mailer loads the shared C++ run-time"
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

# e-mailer-mta: the sendmail, a copy of the program (which the postinst makes
# set-group-ID e-mailer, so it cannot be a link to it), and links to it, in place of any
# other mail transport agent; e-mailer-sendmail beside the program in its own package.
for field in Provides Conflicts Replaces; do
  [ "$(dpkg-deb -f "$mta" "$field")" = mail-transport-agent ] ||
    fail "e-mailer-mta's $field is \"$(dpkg-deb -f "$mta" "$field")\", not mail-transport-agent"
done
grep -q "e-mailer (= $(dpkg-deb -f "$core" Version))" <<<"$(dpkg-deb -f "$mta" Depends)" ||
  fail "e-mailer-mta does not depend on this very e-mailer: $(dpkg-deb -f "$mta" Depends)"
[ -f "$root/usr/sbin/sendmail" ] && [ ! -L "$root/usr/sbin/sendmail" ] &&
  [ "$(readelf -h "$root/usr/sbin/sendmail" | sed -n 's/^ *Type: *\([A-Z]*\).*/\1/p')" = DYN ] ||
  fail "usr/sbin/sendmail is not a program of its own"
for link in usr/lib/sendmail usr/bin/mailq; do
  [ "$(readlink -f "$root/$link")" = "$(readlink -f "$root/usr/sbin/sendmail")" ] ||
    fail "$link does not lead to usr/sbin/sendmail: $(readlink "$root/$link")"
done
for link in usr/bin/newaliases usr/bin/e-mailer-sendmail; do
  [ "$(readlink "$root/$link")" = e-mailer ] || fail "$link does not lead to e-mailer: $(readlink "$root/$link")"
done
grep -q adduser <<<"$(dpkg-deb -f "$mta" Depends)" ||
  fail "e-mailer-mta, whose postinst makes the user e-mailer, does not depend on adduser"
for page in sendmail newaliases; do
  [ "$(readlink "$root/usr/share/man/man8/$page.8.gz")" = e-mailer-sendmail.8.gz ] ||
    fail "$page(8) is not e-mailer-sendmail(8)"
done
[ "$(readlink -f "$root/usr/share/man/man1/mailq.1.gz")" = "$(readlink -f "$root/usr/share/man/man8/e-mailer-sendmail.8.gz")" ] ||
  fail "mailq(1) is not e-mailer-sendmail(8)"
# newaliases, as maintainer scripts call it after they add an alias, succeeds.
env -i PATH=/usr/bin:/bin "$root/usr/bin/newaliases" >"$work/newaliases.out" 2>&1 ||
  fail "newaliases: exit status $?:$(details <"$work/newaliases.out")"

# The engine's shared library: named after its SONAME (libe-mailer-smtp.so.X.Y, package
# libe-mailer-smtpX.Y), found by ldconfig's trigger, depending on what it links, and
# bound to its exact version by its shlibs file and by e-mailer-dev.
shared_library=usr/lib/$multiarch/libe-mailer-smtp.so.0.1.0
soname=$(readelf -d "$root/$shared_library" | sed -n 's/.*(SONAME).*\[\(.*\)\]$/\1/p')
[ "$soname" = libe-mailer-smtp.so.0.1 ] || fail "$shared_library has the SONAME \"$soname\""
[ "$library_package" = "libe-mailer-smtp${soname#libe-mailer-smtp.so.}" ] ||
  fail "the library package $library_package is not named after the SONAME $soname"
[ "$(readlink "$root/usr/lib/$multiarch/$soname")" = "$(basename "$shared_library")" ] ||
  fail "usr/lib/$multiarch/$soname does not point to $shared_library"
[ "$(readlink "$root/usr/lib/$multiarch/libe-mailer-smtp.so")" = "$soname" ] ||
  fail "e-mailer-dev's libe-mailer-smtp.so does not point to $soname"
version=$(dpkg-deb -f "$runtime" Version)
control=$(dpkg-deb --ctrl-tarfile "$runtime" | tar -xOf - ./shlibs ./triggers 2>&1)
[ "$control" = "libe-mailer-smtp ${soname#libe-mailer-smtp.so.} $library_package (= $version)
activate-noawait ldconfig" ] || fail "the library package's shlibs and triggers differ:$(details <<<"$control")"
library_depends=$(dpkg-deb -f "$runtime" Depends)
for library in libc6 libstdc++6 libssl3; do
  grep -q "$library" <<<"$library_depends" || fail "$library_package does not depend on $library: $library_depends"
done
dev_depends=$(dpkg-deb -f "$dev" Depends)
for package in "$library_package (= $version)" libssl-dev; do
  grep -Fq "$package" <<<"$dev_depends" || fail "e-mailer-dev does not depend on $package: $dev_depends"
done
ldd -r "$root/$shared_library" >"$work/ldd" 2>&1
grep -E 'not found|undefined symbol' "$work/ldd" >/dev/null &&
  fail "$shared_library misses libraries or symbols:$(details <"$work/ldd")"

# Stripped; the window module still offers the two functions the program looks up.
for binary in usr/bin/e-mailer usr/lib/e-mailer/e-mailer-gtk.so "$shared_library"; do
  readelf -S "$root/$binary" | grep -q '\.symtab' && fail "$binary is not stripped"
  readelf -S "$root/$binary" | grep -q '\.debug_' && fail "$binary holds debugging sections"
done
# The static library has lost its debugging sections (its symbols, which linking needs,
# are proved by the examples test's static build).
readelf -S "$root/usr/lib/$multiarch/libe-mailer-smtp.a" >"$work/sections" 2>&1
grep '\.debug_' "$work/sections" >/dev/null && fail "libe-mailer-smtp.a holds debugging sections"
/usr/bin/python3 -c 'import ctypes, sys
module = ctypes.CDLL(sys.argv[1])
module.EmailerShowMessageBox, module.EmailerRunResultDialog' \
  "$root/usr/lib/e-mailer/e-mailer-gtk.so" || fail "the installed window module does not load"

# lintian: errors fail the test; warnings are shown (they are listed in the README).
# (As root it also says that running as root is not recommended; that line is dropped.)
lintian --fail-on error "$core" "$gtk" "$runtime" "$dev" "$mta" >"$work/lintian" 2>&1
lintian_status=$?
sed -i '/running with root privileges/d' "$work/lintian"
if [ "$lintian_status" -ne 0 ]; then
  fail "lintian reports errors:$(details <"$work/lintian")"
elif [ -s "$work/lintian" ]; then
  sed 's/^/lintian: /' "$work/lintian"
fi

# The queue's units, system (e-mailer-mta) and user (e-mailer): systemd finds no fault
# in them but that the program they start is not installed on this machine, which is
# in the unpacked root instead.
[ -x "$root/usr/bin/e-mailer" ] || fail "usr/bin/e-mailer, which the units start, is not installed"
mkdir -m 700 "$work/runtime"
for scope in system user; do
  units=(e-mailer-flush.service e-mailer-flush.timer)
  [ "$scope" = user ] || units+=(e-mailer-flush.path)
  faults=$(cd "$root/usr/lib/systemd/$scope" && XDG_RUNTIME_DIR="$work/runtime" \
    systemd-analyze --"$scope" verify --man=no "${units[@]}" 2>&1 |
    grep -v '^e-mailer-flush.service: Command /usr/bin/e-mailer is not executable')
  [ -z "$faults" ] || fail "systemd-analyze finds faults in the $scope units:$(details <<<"$faults")"
done

# The installed manual pages are the ones in doc/ and render without a warning.
for page in man1/e-mailer.1 man8/e-mailer-sendmail.8; do
  man_page=$root/usr/share/man/$page.gz
  zcat "$man_page" | cmp -s - "doc/${page#*/}" || fail "the installed manual page is not doc/${page#*/}"
  warnings=$(zcat "$man_page" | groff -man -ww -z 2>&1)
  [ -z "$warnings" ] || fail "groff warns about $page:$(details <<<"$warnings")"
  warnings=$(LC_ALL=C.UTF-8 MANROFFSEQ='' MANWIDTH=80 man --warnings -E UTF-8 -l -Tutf8 -Z "$man_page" 2>&1 >/dev/null)
  [ -z "$warnings" ] || fail "man warns about $page:$(details <<<"$warnings")"
done

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
  # The installed /usr/sbin/sendmail, as cron calls it, sends the second message.
  printf 'Subject: Through sendmail\n\nSent by sendmail\n' |
    env -i PATH=/usr/bin:/bin HOME="$work/home" XDG_CONFIG_HOME="$work/config" \
      "$root/usr/sbin/sendmail" -FCronDaemon -i -B8BITMIME -oem admin@example.com >"$work/sendmail.out" 2>&1 ||
    fail "sendmail sending a message: exit status $?:$(details <"$work/sendmail.out")"
  # The queue as the units flush it: the installed sendmail queues a message without
  # trying (-odq), mailq lists it, and the units' command (ExecStart, its program from
  # the unpacked root) sends it. As root the run is nobody's, whose queue is a folder of
  # the test's own, not the machine's /var/spool/e-mailer.
  queue_run() {
    local as=()
    [ "$(id -u)" -ne 0 ] || as=(setpriv --reuid=65534 --regid=65534 --clear-groups)
    "${as[@]}" env -i PATH=/usr/bin:/bin HOME="$work/home" XDG_CONFIG_HOME="$work/config" \
      XDG_STATE_HOME="$work/state" "$@"
  }
  chmod 755 "$work"
  mkdir -m 700 "$work/state"
  [ "$(id -u)" -ne 0 ] || chown 65534:65534 "$work/state"
  printf 'Subject: Queued\n\nKept, then flushed\n' |
    queue_run "$root/usr/sbin/sendmail" -odq -i admin@example.com >"$work/queue.out" 2>&1 ||
    fail "sendmail -odq: exit status $?:$(details <"$work/queue.out")"
  queue_run "$root/usr/bin/mailq" 2>&1 | grep -q 'admin@example.com' ||
    fail "mailq does not list the queued message:$(queue_run "$root/usr/bin/mailq" 2>&1 | details)"
  for scope in system user; do
    exec_start=$(sed -n 's/^ExecStart=//p' "$root/usr/lib/systemd/$scope/e-mailer-flush.service")
    [ "${exec_start%% *}" = /usr/bin/e-mailer ] || fail "the $scope unit starts $exec_start"
  done
  # shellcheck disable=SC2086 # the command line of the unit, split as systemd splits it
  queue_run "$root"$exec_start >"$work/flush.out" 2>&1 ||
    fail "$exec_start: exit status $?:$(details <"$work/flush.out")"
  stop_smtp_test_server
  grep -q '^Kept, then flushed' "$work/received/3.eml" 2>/dev/null ||
    fail "the queued message was not sent by the units' command"
  grep -q '^Sent by sendmail' "$work/received/2.eml" 2>/dev/null ||
    fail "the message sent through sendmail did not arrive"
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
echo "packaging: every check passed ($(basename "$core"), $(basename "$gtk"), $(basename "$runtime"), $(basename "$dev"), $(basename "$mta"))"
