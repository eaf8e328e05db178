#!/usr/bin/env bash
# Builds the Debian packages (scripts/package), unpacks the engine's library package and
# e-mailer-dev into a temporary root with dpkg -x, and uses them as a developer would:
# every installed header compiles on its own; the examples that e-mailer-dev ships are
# built as a separate CMake project with find_package(EMailer), once against the shared
# and once against the static library, and twice more with g++ and pkg-config (shared,
# and static with what pkg-config --static names); and every
# one of those programs sends its message to a local aiosmtpd (through microsocks for
# the SOCKS5 example, over implicit TLS and over a required STARTTLS for the TLS ones),
# which must have received exactly what the example composed. Exits non-zero when a
# check fails.
set -uo pipefail
cd "$(dirname "$0")/../.."

failures=0
fail() {
  echo "FAILED: $*" >&2
  failures=$((failures + 1))
}
details() {
  printf '\n'
  sed 's/^/  /'
}

source scripts/lib/packages.sh
ensure_packages "${EXAMPLES_TEST_PACKAGES[@]}"
mapfile -t debs < <(scripts/package) || { echo "FAILED: scripts/package" >&2; exit 1; }
library=$(printf '%s\n' "${debs[@]}" | grep '/libe-mailer-smtp[0-9.]*_[^/]*\.deb$')
dev=$(printf '%s\n' "${debs[@]}" | grep '/e-mailer-dev_[^/]*\.deb$')
[ -n "$library" ] && [ -n "$dev" ] || { echo "FAILED: library and dev packages not both built: ${debs[*]}" >&2; exit 1; }

source scripts/lib/smtp_test_server.sh
work=$(mktemp -d)
proxy_pid=
stop_proxy() {
  [ -n "$proxy_pid" ] || return 0
  stop_processes "$proxy_pid"
  proxy_pid=
}
trap 'stop_smtp_test_server; stop_proxy; rm -rf "$work"' EXIT
root=$work/root
dpkg -x "$library" "$root" && dpkg -x "$dev" "$root" || { echo "FAILED: dpkg -x" >&2; exit 1; }
prefix=$root/usr
libdir=$prefix/lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH)
examples=$prefix/share/doc/e-mailer-dev/examples
export LD_LIBRARY_PATH=$libdir PKG_CONFIG_PATH=$libdir/pkgconfig
names=(plain_message mime_message dsn_message socks5_proxy implicit_tls starttls)

# The public headers are there, and each header stands on its own: it includes all it
# needs, and all of that is installed.
for header in smtp/connection.h mime/message.h mime/body_part.h mime/address.h \
  errors/exceptions.h errors/message_table.h platform/error_numbers.h; do
  [ -f "$prefix/include/e-mailer/$header" ] || fail "the public header $header is not installed"
done
while read -r header; do
  output=$(echo "#include \"$header\"" | g++ -std=c++20 -fsyntax-only -Wall -Wextra -Werror \
    -I "$prefix/include/e-mailer" -x c++ - 2>&1) ||
    fail "the installed header $header does not compile alone:$(details <<<"$output")"
done < <(cd "$prefix/include/e-mailer" && find . -name '*.h' | sed 's|^\./||' | sort)

# The four builds of the examples, each in a folder of its own.
build_with_cmake() {
  local dir=$work/$1
  shift
  cmake -S "$examples" -B "$dir" -DCMAKE_PREFIX_PATH="$prefix" "$@" >"$work/$(basename "$dir").log" 2>&1 &&
    cmake --build "$dir" -j "$(nproc)" >>"$work/$(basename "$dir").log" 2>&1 ||
    fail "the examples do not build with CMake ($*):$(details <"$work/$(basename "$dir").log")"
}
# build_with_pkg_config DIR [--static]: with --static, the engine's archive and the
# libraries that pkg-config --static names for it.
build_with_pkg_config() {
  local dir=$work/$1 name flags
  mkdir -p "$dir"
  flags=$(pkg-config --cflags --libs e-mailer-smtp) || { fail "pkg-config knows no e-mailer-smtp"; return; }
  if [ "${2-}" = --static ]; then
    flags="$(pkg-config --cflags e-mailer-smtp) $libdir/libe-mailer-smtp.a $(pkg-config --static --libs e-mailer-smtp)"
    flags=${flags//-le-mailer-smtp/}
  fi
  for name in "${names[@]}"; do
    # shellcheck disable=SC2086 # the flags are words
    g++ -std=c++20 -o "$dir/$name" "$examples/$name.cpp" $flags >"$dir/$name.log" 2>&1 ||
      fail "$name does not build with pkg-config ($flags):$(details <"$dir/$name.log")"
  done
}
build_with_cmake cmake-shared
build_with_cmake cmake-static -DEXAMPLES_STATIC=ON
build_with_pkg_config pkg-config
build_with_pkg_config pkg-config-static --static
builds=(cmake-shared cmake-static pkg-config pkg-config-static)

# The shared builds load the unpacked library; the static ones do not need it. (grep
# reads all its input: with -q it could stop early and fail the pipe.)
for build in cmake-shared pkg-config; do
  ldd "$work/$build/plain_message" >"$work/ldd" 2>&1
  grep "=> $libdir/libe-mailer-smtp\.so\.[0-9.]* " "$work/ldd" >/dev/null ||
    fail "$build/plain_message does not load $libdir's library:$(details <"$work/ldd")"
done
for build in cmake-static pkg-config-static; do
  readelf -d "$work/$build/plain_message" >"$work/readelf" 2>&1
  grep 'NEEDED.*libe-mailer-smtp' "$work/readelf" >/dev/null &&
    fail "$build/plain_message needs the shared library"
done

hex() { od -An -v -tx1 | tr -d ' \n'; }
sender='Example sender <sender@example.com>'
envelope=$'MAIL FROM:<sender@example.com>\nRCPT TO:<recipient@example.com>'

# run BUILD NAME ARGUMENT...: runs the example, which must succeed and print only what
# it should ($work/out).
run() {
  local build=$1 name=$2
  shift 2
  "$work/$build/$name" "$@" >"$work/out" 2>"$work/err" ||
    fail "$build/$name $*: exit status $?:$(cat "$work/err" | details)"
}
# expect_message N SUBJECT ENVELOPE LINE...: the server's message N has this envelope and,
# as Python's email package reads it, this sender and subject and these lines. The server
# offers SIZE, so MAIL FROM ends with the message's size, which the engine's own tests
# compare with the bytes sent; here it is left out of the comparison.
expect_message() {
  local n=$1 subject=$2 expected_envelope=$3 line parsed
  shift 3
  [ "$(sed '1s/ SIZE=[0-9]\+$//' "$received/$n.envelope" 2>/dev/null)" = "$expected_envelope" ] ||
    { fail "message $n: the envelope differs:$(cat "$received/$n.envelope" 2>&1 | details)"; return; }
  parsed=$(/usr/bin/python3 tests/support/parse_message.py "$received/$n.eml")
  for line in "subject $(printf %s "$subject" | hex)" \
    "from $(printf 'Example sender' | hex) $(printf sender@example.com | hex)" "$@" "defects 0"; do
    grep -Fqx -- "$line" <<<"$parsed" || fail "message $n ($subject) lacks \"$line\":$(details <<<"$parsed")"
  done
}

mkdir "$work/received"
received=$work/received
head -c 3000 /dev/urandom >"$work/report.bin"
proxy_port=$(/usr/bin/python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
microsocks -i 127.0.0.1 -p "$proxy_port" >"$work/proxy.log" 2>&1 &
proxy_pid=$!
for ((i = 0; i < 200; i++)); do
  (exec 3<>"/dev/tcp/127.0.0.1/$proxy_port") 2>/dev/null && break
  sleep 0.05
done

# The plain, MIME, DSN and SOCKS5 examples of every build, to a server with LOGIN and DSN.
if start_smtp_test_server "$received" --auth LOGIN --dsn; then
  n=0
  for build in "${builds[@]}"; do
    run "$build" plain_message 127.0.0.1 "$SMTP_SERVER_PORT"
    expect_message $((++n)) "Plain message" "$envelope" \
      "part text/plain - $(printf 'Hello from the e-mailer engine.\nSecond line.\n' | hex)"

    run "$build" mime_message 127.0.0.1 "$SMTP_SERVER_PORT" user secret "$work/report.bin"
    expect_message $((++n)) "Report with an HTML alternative" "$envelope" \
      "multipart multipart/mixed" "multipart multipart/alternative" \
      "part text/plain - $(printf 'The report is attached.\nCaf\xc3\xa9 at ten?' | hex)" \
      "part text/html - $(printf '<p>The report is <b>attached</b>.</p><p>Caf\xc3\xa9 at ten?</p>' | hex)" \
      "part application/octet-stream $(printf report.bin | hex) $(hex <"$work/report.bin")"

    run "$build" dsn_message 127.0.0.1 "$SMTP_SERVER_PORT" user secret
    id=$(sed -n 's/^envelope id \([0-9A-F]\{32\}\)$/\1/p' "$work/out")
    [ -n "$id" ] || fail "$build/dsn_message printed no envelope id:$(details <"$work/out")"
    expect_message $((++n)) "Tell me when it arrives" \
      "MAIL FROM:<sender@example.com> RET=HDRS ENVID=$id"$'\nRCPT TO:<recipient@example.com> NOTIFY=SUCCESS,FAILURE'

    run "$build" socks5_proxy 127.0.0.1 "$proxy_port" 127.0.0.1 "$SMTP_SERVER_PORT" user secret
    expect_message $((++n)) "Through a SOCKS5 proxy" "$envelope"
  done
  logins=$(grep -c '^LOGIN user$' "$received/logins" 2>/dev/null)
  [ "$logins" = $((3 * ${#builds[@]})) ] || fail "$logins LOGIN logins, not $((3 * ${#builds[@]}))"

  # Without the proxy the SOCKS5 example cannot reach the server, and says why.
  stop_proxy
  "$work/cmake-shared/socks5_proxy" 127.0.0.1 "$proxy_port" 127.0.0.1 "$SMTP_SERVER_PORT" user secret \
    >/dev/null 2>"$work/err" && fail "socks5_proxy succeeded without its proxy"
  grep -Fq 'error 0x8007274D (facility 7, number 10061): ' "$work/err" ||
    fail "socks5_proxy without its proxy does not report 10061:$(details <"$work/err")"
  stop_smtp_test_server
  ls "$received"/*.envelope | wc -l | grep -qx "$n" || fail "the server received more than $n messages"
else
  fail "the SMTP test server did not start"
fi

# The implicit TLS example of every build, to a server with TLS and LOGIN.
rm -f "$received"/*
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 1 \
  -subj /CN=localhost -keyout "$work/key.pem" -out "$work/cert.pem" >/dev/null 2>&1 ||
  fail "openssl could not make a certificate"
if start_smtp_test_server "$received" --auth LOGIN --tls "$work/cert.pem" "$work/key.pem"; then
  n=0
  for build in "${builds[@]}"; do
    run "$build" implicit_tls localhost "$SMTP_SERVER_PORT" user secret
    expect_message $((++n)) "Over implicit TLS" "$envelope" \
      "part text/plain - $(printf 'This message went over TLS.\n' | hex)"
  done
  stop_smtp_test_server
else
  fail "the SMTP test server with TLS did not start"
fi

# make_ca NAME: a test CA, $work/NAME.pem and NAME.key: a P-256 key and a self-signed
# certificate that may sign certificates, as the engine's tests make theirs.
make_ca() {
  openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 \
    -subj "/CN=e-mailer test CA $1" -addext "basicConstraints = critical, CA:true" \
    -addext "keyUsage = critical, keyCertSign, cRLSign" \
    -keyout "$work/$1.key" -out "$work/$1.pem" >>"$work/openssl.log" 2>&1
}
# issue CA NAME: $work/NAME.pem and NAME.key, a server certificate for localhost and
# 127.0.0.1 signed by the test CA named CA.
issue() {
  printf '[leaf]\nbasicConstraints = CA:false\nsubjectAltName = %s\nextendedKeyUsage = %s\n' \
    DNS:localhost,IP:127.0.0.1 serverAuth >"$work/$2.ext"
  openssl req -new -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -subj /CN=localhost \
    -keyout "$work/$2.key" -out "$work/$2.csr" >>"$work/openssl.log" 2>&1 &&
    openssl x509 -req -in "$work/$2.csr" -CA "$work/$1.pem" -CAkey "$work/$1.key" \
      -CAcreateserial -days 2 -sha256 -extfile "$work/$2.ext" -extensions leaf \
      -out "$work/$2.pem" >>"$work/openssl.log" 2>&1
}

# The STARTTLS example of every build, to a server that requires STARTTLS, offers LOGIN
# and shows a certificate of the CA that the example is given. With another CA the
# example refuses the server in the handshake, before it logs in, and says why.
rm -f "$received"/*
make_ca ca && make_ca other_ca && issue ca server ||
  fail "openssl could not make the test CAs and the server's certificate:$(details <"$work/openssl.log")"
if start_smtp_test_server "$received" --auth LOGIN --starttls "$work/server.pem" "$work/server.key"; then
  n=0
  for build in "${builds[@]}"; do
    run "$build" starttls localhost "$SMTP_SERVER_PORT" user secret "$work/ca.pem"
    expect_message $((++n)) "Over STARTTLS" "$envelope" \
      "part text/plain - $(printf 'This message went over STARTTLS to a verified server.\n' | hex)"
  done

  "$work/cmake-shared/starttls" localhost "$SMTP_SERVER_PORT" user secret "$work/other_ca.pem" \
    >/dev/null 2>"$work/err" && fail "starttls succeeded with another CA"
  grep -Fq "error 0x80040221 (facility 4, number 545): Failed to connect via SSL: Details:the server's certificate is not trusted: " "$work/err" ||
    fail "starttls with another CA does not report 545 and the reason:$(details <"$work/err")"
  stop_smtp_test_server
  logins=$(grep -c '^LOGIN user$' "$received/logins" 2>/dev/null)
  [ "$logins" = "${#builds[@]}" ] || fail "$logins LOGIN logins over STARTTLS, not ${#builds[@]}"
  ls "$received"/*.envelope | wc -l | grep -qx "$n" || fail "the server received more than $n messages over STARTTLS"
else
  fail "the SMTP test server with STARTTLS did not start"
fi

if [ "$failures" -ne 0 ]; then
  echo "examples: $failures check(s) failed" >&2
  exit 1
fi
echo "examples: every check passed (${#names[@]} examples, built with ${builds[*]})"
