# Installs the Debian packages that are missing, and only those, so a second run of a
# script costs one dpkg-query. Sourced by the scripts in scripts/.

# The packages every build needs.
BUILD_PACKAGES=(cmake ninja-build g++ pkg-config libgtest-dev libbenchmark-dev libssl-dev uuid-dev)
# The composition tests: Python's email package parses rendered messages back, and
# localedef builds a Latin-1 locale from the locales package's sources.
MIME_TEST_PACKAGES=(python3 locales)

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
