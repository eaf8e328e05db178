#!/usr/bin/python3
"""Runs a Windows test program under Wine beside real proxies running natively.

Usage: with_proxies.py COMMAND...

A test program under Wine cannot start a Linux program, so this launcher starts, each
on a free port of 127.0.0.1 (tests/support/proxies.py), the proxies that
tests/support/proxies_windows.cpp hands to the program: microsocks without
authentication (EMAILER_MICROSOCKS_PORT) and with the pair EMAILER_PROXY_USER /
EMAILER_PROXY_PASSWORD (EMAILER_MICROSOCKS_AUTH_PORT), dante-server
(EMAILER_DANTE_PORT) and tinyproxy with that pair (EMAILER_TINYPROXY_PORT). It runs
COMMAND with those variables set, stops the proxies and exits with COMMAND's status.
"""
import os
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import proxies  # noqa: E402

USER, PASSWORD = "mailer", "s3cret"


def main():
    started = []
    with tempfile.TemporaryDirectory(prefix="emailer-proxies-") as directory:
        try:
            for name, start in [
                    ("EMAILER_MICROSOCKS_PORT", proxies.microsocks),
                    ("EMAILER_MICROSOCKS_AUTH_PORT", lambda: proxies.microsocks(USER, PASSWORD)),
                    ("EMAILER_DANTE_PORT", lambda: proxies.dante(directory)),
                    ("EMAILER_TINYPROXY_PORT",
                     lambda: proxies.tinyproxy(directory, USER, PASSWORD))]:
                started.append((name, start()))
            env = dict(os.environ, EMAILER_PROXY_USER=USER, EMAILER_PROXY_PASSWORD=PASSWORD,
                       **{name: str(proxy.port) for name, proxy in started})
            status = subprocess.call(sys.argv[1:], env=env)
        finally:
            for _, proxy in started:
                proxy.stop()
    sys.exit(status)


if __name__ == "__main__":
    main()
