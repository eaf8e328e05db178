#!/usr/bin/python3
"""The user's browser in the sign-in tests, started by the program as xdg-open.

Usage: oauth_browser.py CA honest|wrong-state PAGE

PAGE is the program's redirect page (issue 46: the address never stands on a command
line); the browser follows its meta refresh to ADDRESS, then opens ADDRESS (the identity provider's authorization endpoint, trusted through the CA
file CA), where the user approves at once, asks the program's loopback address for
/favicon.ico first, as browsers do (which must be refused with 404 and not end the
sign-in), then follows the provider's redirect there; with wrong-state it first sends
the redirect with another state, as an attacker's forged one would carry, which must be
refused with 400 and not end the sign-in either. Prints the page the program answers.
"""
import html
import http.client
import os
import re
import ssl
import sys
import urllib.parse
import urllib.request


class NoRedirect(urllib.request.HTTPRedirectHandler):
    def redirect_request(self, *args):
        return None


def main():
    ca, mode, page = sys.argv[1:4]
    if oct(os.stat(page).st_mode & 0o777) != oct(0o600):
        sys.exit("the page is open to others")
    with open(page) as f:
        match = re.search(r'content="0;url=([^"]*)"', f.read())
    if not match or page.startswith(("http:", "https:")):
        sys.exit("no redirect page: " + page)
    address = html.unescape(match.group(1))
    opener = urllib.request.build_opener(
        urllib.request.HTTPSHandler(context=ssl.create_default_context(cafile=ca)), NoRedirect)
    try:
        opener.open(address)
        sys.exit("the provider did not redirect")
    except urllib.error.HTTPError as answer:
        location = answer.headers["Location"]
    url = urllib.parse.urlsplit(location)
    icon = http.client.HTTPConnection(url.hostname, url.port, timeout=30)
    icon.request("GET", "/favicon.ico")
    if icon.getresponse().status != 404:
        sys.exit("/favicon.ico was not refused")
    if mode == "wrong-state":
        query = dict(urllib.parse.parse_qsl(url.query))
        query["state"] = "forged" + query.get("state", "")
        forged = http.client.HTTPConnection(url.hostname, url.port, timeout=30)
        forged.request("GET", url.path + "?" + urllib.parse.urlencode(query))
        if forged.getresponse().status != 400:
            sys.exit("the forged redirect was not refused")
    connection = http.client.HTTPConnection(url.hostname, url.port, timeout=30)
    connection.request("GET", url.path + "?" + url.query)
    print(connection.getresponse().read().decode())


if __name__ == "__main__":
    main()
