#!/usr/bin/python3
"""Runs a Windows test program under Wine beside a TLS echo server running natively.

Usage: with_tls_echo_server.py COMMAND...

A test program under Wine cannot start a Linux program, so this launcher does it for
the program's TLS tests: it makes a self-signed certificate for "localhost" with
openssl, starts tests/support/tls_echo_server.py on a free port of 127.0.0.1, names
that port in EMAILER_TLS_ECHO_PORT, runs COMMAND, stops the server and exits with
COMMAND's status.
"""
import os
import subprocess
import sys
import tempfile

SUPPORT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support")
sys.path.insert(0, SUPPORT)
from server_process import ServerProcess  # noqa: E402


def start_server(directory):
    cert, key = os.path.join(directory, "cert.pem"), os.path.join(directory, "key.pem")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                    "ec_paramgen_curve:prime256v1", "-nodes", "-days", "2", "-subj",
                    "/CN=localhost", "-keyout", key, "-out", cert],
                   check=True, capture_output=True)
    return ServerProcess("the TLS echo server", lambda port: [
        sys.executable, os.path.join(SUPPORT, "tls_echo_server.py"), str(port), cert, key])


def main():
    with tempfile.TemporaryDirectory(prefix="emailer-tls-") as directory:
        server = start_server(directory)
        try:
            env = dict(os.environ, EMAILER_TLS_ECHO_PORT=str(server.port))
            status = subprocess.call(sys.argv[1:], env=env)
        finally:
            server.stop()
    sys.exit(status)


if __name__ == "__main__":
    main()
