# Installs the Debian packages that are missing, and only those, so a second run of a
# script costs one dpkg-query. Sourced by the scripts in scripts/.

# The packages every build needs.
BUILD_PACKAGES=(cmake ninja-build g++ pkg-config libgtest-dev libbenchmark-dev libssl-dev)

# The real servers of the transport tests: proxies, and openssl and python3 for the
# TLS test server and its certificate.
TRANSPORT_TEST_PACKAGES=(microsocks dante-server tinyproxy openssl python3)

# The SMTP test server of the session tests: aiosmtpd, and GSSAPI with gss-ntlmssp for
# its NTLM acceptor.
SESSION_TEST_PACKAGES=(python3-aiosmtpd python3-gssapi gss-ntlmssp)

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

# NTLM: the GSSAPI and gss-ntlmssp headers the security stand-in is built against; the
# library and the NTLMSSP mechanism it opens at run time, which the tests authenticate
# through.
BUILD_PACKAGES+=(libkrb5-dev gss-ntlmssp-dev libgssapi-krb5-2 gss-ntlmssp)
