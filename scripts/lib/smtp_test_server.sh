# The SMTP test server of the tests (tests/support/smtp_server.py, aiosmtpd) for shell
# scripts: started on a free port of 127.0.0.1, stopped by its process id. Sourced by
# scripts/demo and tests/packaging/package_test.sh, which ensure python3-aiosmtpd.

SMTP_SERVER_SCRIPT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../../tests/support" && pwd)/smtp_server.py
SMTP_SERVER_PID=
SMTP_SERVER_PORT=

# start_smtp_test_server DIR [OPTION...]: starts the server with the options of
# smtp_server.py, storing what it receives in DIR (N.envelope, N.eml) and its output in
# DIR/server.log, and returns once it listens, with SMTP_SERVER_PID and SMTP_SERVER_PORT
# set. Fails, with the server's output on standard error, when it does not listen
# within 10 seconds.
start_smtp_test_server() {
  local dir=$1 end=$((SECONDS + 10))
  shift
  # Made here, as the server's own redirection may come after the first look at it.
  : >"$dir/server.log"
  # Debian's python3, which has aiosmtpd (another python3 may come first on PATH).
  /usr/bin/python3 "$SMTP_SERVER_SCRIPT" 0 "$dir" "$@" >"$dir/server.log" 2>&1 &
  SMTP_SERVER_PID=$!
  while [ "$SECONDS" -le "$end" ]; do
    SMTP_SERVER_PORT=$(sed -n 's/^listening on 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$dir/server.log")
    [ -n "$SMTP_SERVER_PORT" ] && return 0
    kill -0 "$SMTP_SERVER_PID" 2>/dev/null || break
    sleep 0.05
  done
  echo "the SMTP test server did not start within 10 s:" >&2
  cat "$dir/server.log" >&2
  stop_smtp_test_server
  return 1
}

# Stops the server started last, if it runs; safe to call more than once.
stop_smtp_test_server() {
  [ -n "$SMTP_SERVER_PID" ] || return 0
  stop_processes "$SMTP_SERVER_PID"
  SMTP_SERVER_PID=
}

# stop_processes PID...: ends these children of the shell, with SIGKILL for any still
# there 5 seconds after the SIGTERM, so the wait for them ends whatever they do.
stop_processes() {
  [ "$#" -gt 0 ] || return 0
  kill "$@" 2>/dev/null || true
  (sleep 5; kill -KILL "$@" 2>/dev/null) >/dev/null 2>&1 &
  local killer=$!
  wait "$@" 2>/dev/null || true
  # SIGKILL: a subshell that a trappable signal ends before it has reset its traps runs
  # the script's EXIT trap, which may remove the script's whole work folder.
  kill -KILL "$killer" 2>/dev/null || true
  wait "$killer" 2>/dev/null || true
}
