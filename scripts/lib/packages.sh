# Installs the Debian packages that are missing, and only those, so a second run of a
# script costs one dpkg-query. Sourced by the scripts in scripts/. A list names the
# package that owns each command the scripts and tests start, not one that merely
# depends on it (scripts/lib/commands.sh checks this).

# The packages every build needs (libcurl and nlohmann-json for the OAuth 2.0 client;
# libidn2's header for internationalised domain names).
BUILD_PACKAGES=(cmake ninja-build g++ binutils pkgconf libgtest-dev libbenchmark-dev libssl-dev libgtk-3-dev
  libidn2-dev libkrb5-dev gss-ntlmssp-dev libgssapi-krb5-2 gss-ntlmssp libcurl4-openssl-dev
  nlohmann-json3-dev)

# scripts/demo: what a Release build of the program and its window module needs, and
# the local SMTP server it sends to.
DEMO_PACKAGES=(cmake ninja-build g++ binutils pkgconf libssl-dev libgtk-3-dev libidn2-dev libkrb5-dev
  gss-ntlmssp-dev libcurl4-openssl-dev nlohmann-json3-dev python3-minimal python3-aiosmtpd)

# The window tests: a virtual X server, a driver for it, screenshots, a font.
WINDOW_TEST_PACKAGES=(xvfb xdotool imagemagick-6.q16 fonts-dejavu-core)

# The real servers of the transport tests: proxies (tinyproxy-bin, the program without
# the system service), and openssl and python3 for the TLS test server and its
# certificate.
TRANSPORT_TEST_PACKAGES=(microsocks dante-server tinyproxy-bin openssl python3 python3-minimal)

# The composition tests: Python's email package and Perl's Email::MIME parse rendered
# messages back, localedef builds a Latin-1 locale from the locales package's
# sources, and media-types gives attachments their types (/etc/mime.types).
MIME_TEST_PACKAGES=(python3 python3-minimal libemail-mime-perl locales media-types)

# The SMTP test server of the session tests: aiosmtpd, and GSSAPI with gss-ntlmssp for
# its NTLM acceptor.
SESSION_TEST_PACKAGES=(python3-aiosmtpd python3-gssapi gss-ntlmssp)

# The OAuth 2.0 tests: the test identity provider (python3, HTTPS with a CA made by
# openssl) and aiosmtpd taking only the tokens it issued.
OAUTH_TEST_PACKAGES=(python3-minimal openssl python3-aiosmtpd)

# The real MTA of the tests: Postfix with Cyrus SASL (saslpasswd2 makes its sasldb; the
# modules bring LOGIN and CRAM-MD5). Postfix is installed without a configuration
# (preseeded, see preseed_postfix): the fixture runs an instance of its own and the
# system's mail service is never set up or started.
POSTFIX_TEST_PACKAGES=(postfix sasl2-bin libsasl2-modules)

# The Debian packages and their checks: dpkg-shlibdeps for the dependencies, lintian,
# groff and man for the manual page, systemd-analyze for the queue's units, python3 to
# load the installed window module, and aiosmtpd for the SMTP server that the installed
# program sends to.
PACKAGING_PACKAGES=(dpkg-dev lintian groff-base man-db systemd python3 python3-minimal python3-aiosmtpd)

# The queue's crash test: strace kills the program at a chosen system call.
CRASH_TEST_PACKAGES=(strace python3 python3-minimal)

# The examples test: the examples built against the unpacked engine packages (g++,
# CMake, pkg-config and the headers' OpenSSL from BUILD_PACKAGES) and run against
# aiosmtpd, through microsocks and over TLS and STARTTLS with openssl-made certificates.
EXAMPLES_TEST_PACKAGES=(dpkg-dev python3 python3-minimal python3-aiosmtpd microsocks openssl)

# scripts/windows: the mingw-w64 cross compiler (posix threads) and its resource
# compiler (its C compiler builds OpenSSL), perl and make for OpenSSL's own build,
# GoogleTest's sources for the tests, and Wine to run them: wine64 the loader, wine the
# commands wine, wineboot and wineserver.
WINDOWS_PACKAGES=(cmake ninja-build g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix
  binutils-mingw-w64-x86-64 mingw-w64-x86-64-dev perl make googletest wine64 wine)

# The end-to-end tests of the Windows program under Wine, besides the SMTP test server
# (SESSION_TEST_PACKAGES) and the window tests' packages: openssl for the server's
# certificate, and Samba's ntlm_auth, which Wine's NTLM runs as its helper.
WINE_END_TO_END_PACKAGES=(openssl winbind)

# The sendmail face's real callers: bsd-mailx (mail -s), git send-email (git-email, with
# Mail::Address from libmailtools-perl), PHP's mail() (php-cli), NeoMutt in batch mode
# and Debian's cron, run in a private mount namespace (unshare and mount, from
# util-linux and mount) over a crontab and spool of their own.
# Each of them depends on a mail transport agent: Postfix, preseeded without a
# configuration (preseed_postfix), is the one installed. The system mode's test runs
# e-mailer-mta's maintainer scripts, which make and remove a system user (adduser), in a
# mount namespace of its own.
SENDMAIL_CALLER_PACKAGES=(bsd-mailx git git-email libmailtools-perl php-cli neomutt cron util-linux mount
  postfix adduser)

# The memcheck group of the tests: the end-to-end tests under valgrind.
MEMCHECK_PACKAGES=(valgrind)

# The fuzz targets: clang with libFuzzer and the sanitizer run-times (compiler-rt).
FUZZ_PACKAGES=(clang libclang-rt-14-dev)

# The benchmarks' peers: Postfix's smtp-sink and smtp-source, run on their own. Postfix is
# installed without a configuration (preseeded, see preseed_postfix), so the mail system
# is never set up or started. The peer comparison (bench/peers/run) adds msmtp, curl,
# swaks (with its TLS modules), stunnel for implicit TLS, time for peak memory, and for
# its wide-area cases python3 for the relay and an instance of Postfix as a submission
# server with Cyrus SASL (saslpasswd2 makes its sasldb; the modules bring PLAIN).
BENCH_PACKAGES=(postfix msmtp curl swaks libnet-ssleay-perl libio-socket-ssl-perl stunnel4
  time openssl sasl2-bin libsasl2-modules python3-minimal)

preseed_postfix() {
  dpkg-query -W -f='${Status}' postfix 2>/dev/null | grep -q 'install ok installed' && return 0
  local sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  echo "postfix postfix/main_mailer_type select No configuration" | $sudo debconf-set-selections
}

ensure_packages() {
  local missing=() p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "Installing: ${missing[*]}"
  local sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get update -qq
  $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

