# The external commands that the scripts and their tests start, and the check that a
# package the scripts install owns each one. Sourced by scripts/test.
#
# A command a test starts by its absolute path is named by that path; the others by the
# name that is looked up on PATH, as the scripts and tests look them up. Shell builtins
# are no commands here, nor sudo, which the scripts run only when not root. A Python
# module that the tests import from outside the standard library is named
# python3:<module>, and checked by the file that Debian's python3 imports.

# packages.sh itself, and what every script starts to build the tree (CMake runs the
# compiler, the archiver and pkg-config).
SCRIPT_COMMANDS=(bash env dpkg-query apt-get debconf-set-selections id grep
  cmake ctest ninja c++ g++ ar ranlib strip pkg-config)

# scripts/test and what it runs: the test programs and their launchers (tests/support/,
# tests/gui/, tests/memcheck/), scripts/package (cpack runs dpkg-shlibdeps and dpkg-deb),
# tests/packaging/, scripts/fuzz; the real callers of the sendmail face (mail, git
# send-email, PHP, NeoMutt, each in a session of its own under a time limit, cron in a
# mount namespace of its own) and the system mode's
# test (e-mailer-mta's maintainer scripts, users made in its namespace); strace, with which the
# queue's crash test kills the program.
TEST_COMMANDS=(nproc sh cat cp mv rm ls mkdir mktemp basename sed tr head tail wc sort
  cut od cmp diff find sleep yes gzip zcat tar
  /usr/bin/python3 /usr/bin/perl localedef openssl microsocks /usr/sbin/danted tinyproxy
  /usr/sbin/postfix saslpasswd2 Xvfb xdotool /usr/bin/import /usr/bin/convert valgrind
  nm readelf ldd cpack dpkg dpkg-deb dpkg-shlibdeps dpkg-architecture dpkg-buildflags
  lintian groff man systemd-analyze strace clang++ python3:aiosmtpd python3:gssapi
  mail git php neomutt cron unshare mount setpriv setsid timeout
  addgroup adduser delgroup deluser useradd dpkg-statoverride getent stat realpath)

# scripts/windows and the Windows tests: OpenSSL's build (perl's Configure, make and the
# cross tools), the cross build, and Wine with what it starts (ntlm_auth for NTLM); the
# tests' servers and X tools are in TEST_COMMANDS.
WINDOWS_COMMANDS=(apt-cache /usr/lib/apt/apt-helper awk sha256sum flock nice perl make
  x86_64-w64-mingw32-gcc-posix x86_64-w64-mingw32-g++-posix x86_64-w64-mingw32-ar
  x86_64-w64-mingw32-ranlib x86_64-w64-mingw32-windres x86_64-w64-mingw32-objdump
  setarch wine wineboot wineserver ntlm_auth)

# scripts/demo, besides SCRIPT_COMMANDS: its SMTP server.
DEMO_COMMANDS=(mktemp rm mkdir cat sed tr sleep /usr/bin/python3 python3:aiosmtpd)

# check_command_owners COMMAND... -- PACKAGE...
# Checks that each command is there and that a package owning it (the command as found,
# a link on the way to its file, or the file) is one of the packages given or one that
# every Debian system has (Essential, or of priority required). Names every command that
# fails, with its path and owners, and returns 1 if one does.
check_command_owners() {
  local -a commands=() chain=() all=()
  local -A given=() paths=() shown=() owners=() owning=() base=()
  local command path link line package names failed=0
  while [ "$1" != -- ]; do
    commands+=("$1")
    shift
  done
  shift
  for package in "$@"; do given[$package]=1; done

  for command in "${commands[@]}"; do
    case $command in
      python3:*) path=$(/usr/bin/python3 -c "import ${command#python3:} as m; print(m.__file__)" 2>/dev/null) ;;
      *) path=$(command -v "$command") ;;
    esac || {
      echo "MISSING: $command is not there: no package that the scripts install provides it" >&2
      failed=1
      continue
    }
    chain=("$path")
    while [ -L "$path" ]; do
      link=$(readlink "$path")
      case $link in /*) ;; *) link=$(dirname "$path")/$link ;; esac
      path=$(realpath -ms "$link")
      chain+=("$path")
    done
    shown[$command]="${chain[*]}"
    # With /usr merged, dpkg knows the files of /bin, /sbin and /lib by those names.
    for path in "${chain[@]}"; do
      case $path in /usr/bin/* | /usr/sbin/* | /usr/lib/*) chain+=("${path#/usr}") ;; esac
    done
    paths[$command]="${chain[*]}"
    all+=("${chain[@]}")
  done

  # "package[:arch][, package...]: path", one line per path that a package owns.
  while IFS= read -r line; do
    case $line in "diversion by "*) continue ;; esac
    for package in ${line%: *}; do
      package=${package%,}
      package=${package%%:*}
      owners[${line##*: }]+=" $package"
      owning[$package]=1
    done
  done < <(dpkg -S "${all[@]}" 2>/dev/null)
  if [ ${#owning[@]} -gt 0 ]; then
    while read -r package line; do
      case $line in yes* | *required) base[$package]=1 ;; esac
    done < <(dpkg-query -W -f='${Package} ${Essential} ${Priority}\n' "${!owning[@]}")
  fi

  for command in "${commands[@]}"; do
    [ -n "${paths[$command]-}" ] || continue
    names=
    for path in ${paths[$command]}; do
      for package in ${owners[$path]-}; do
        [ -n "${given[$package]-}${base[$package]-}" ] && continue 3
        [[ " $names " == *" $package "* ]] || names+=" $package"
      done
    done
    echo "MISSING OWNER: $command (${shown[$command]// / -> }) is owned by${names:- no package}," \
      "which no package list of scripts/lib/packages.sh names" >&2
    failed=1
  done
  [ "$failed" -eq 0 ] && echo "commands: ${#commands[@]} checked, each owned by a package that the scripts install"
  return "$failed"
}
