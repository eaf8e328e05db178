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
import socket
import subprocess
import sys
import tempfile
import time

SUPPORT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support")
ATTEMPTS = 5  # a port taken meanwhile makes the server exit; another is tried
LISTEN_BOUND = 10.0


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def listening(server, port):
    """True once the server accepts on port; False when it exits first or never does."""
    deadline = time.monotonic() + LISTEN_BOUND
    while time.monotonic() < deadline and server.poll() is None:
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            return True
        except OSError:
            time.sleep(0.01)
    return False


def start_server(directory):
    cert, key = os.path.join(directory, "cert.pem"), os.path.join(directory, "key.pem")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                    "ec_paramgen_curve:prime256v1", "-nodes", "-days", "2", "-subj",
                    "/CN=localhost", "-keyout", key, "-out", cert],
                   check=True, capture_output=True)
    for _ in range(ATTEMPTS):
        port = free_port()
        server = subprocess.Popen([sys.executable, os.path.join(SUPPORT, "tls_echo_server.py"),
                                   str(port), cert, key], stdout=subprocess.DEVNULL)
        if listening(server, port):
            return server, port
        server.kill()
        server.wait()
    sys.exit("the TLS echo server did not start")


def main():
    with tempfile.TemporaryDirectory(prefix="emailer-tls-") as directory:
        server, port = start_server(directory)
        try:
            env = dict(os.environ, EMAILER_TLS_ECHO_PORT=str(port))
            status = subprocess.call(sys.argv[1:], env=env)
        finally:
            server.terminate()
            try:
                server.wait(timeout=5)
            except subprocess.TimeoutExpired:
                server.kill()
                server.wait()
    sys.exit(status)


if __name__ == "__main__":
    main()
