#!/usr/bin/python3
"""The user's browser in the sign-in tests, started by the program as xdg-open.

Usage: oauth_browser.py CA honest|wrong-state ADDRESS

Opens ADDRESS (the identity provider's authorization endpoint, trusted through the CA
file CA), where the user approves at once, asks the program's loopback address for
/favicon.ico first, as browsers do (which must be refused with 404 and not end the
sign-in), then follows the provider's redirect there; with wrong-state it changes the
redirect's state first, as an attacker's forged redirect would carry another. Prints the
page the program answers.
"""
import http.client
import ssl
import sys
import urllib.parse
import urllib.request


class NoRedirect(urllib.request.HTTPRedirectHandler):
    def redirect_request(self, *args):
        return None


def main():
    ca, mode, address = sys.argv[1:4]
    opener = urllib.request.build_opener(
        urllib.request.HTTPSHandler(context=ssl.create_default_context(cafile=ca)), NoRedirect)
    try:
        opener.open(address)
        sys.exit("the provider did not redirect")
    except urllib.error.HTTPError as answer:
        location = answer.headers["Location"]
    if mode == "wrong-state":
        url = urllib.parse.urlsplit(location)
        query = dict(urllib.parse.parse_qsl(url.query))
        query["state"] = "forged" + query.get("state", "")
        location = url._replace(query=urllib.parse.urlencode(query)).geturl()
    url = urllib.parse.urlsplit(location)
    icon = http.client.HTTPConnection(url.hostname, url.port, timeout=30)
    icon.request("GET", "/favicon.ico")
    if icon.getresponse().status != 404:
        sys.exit("/favicon.ico was not refused")
    connection = http.client.HTTPConnection(url.hostname, url.port, timeout=30)
    connection.request("GET", url.path + "?" + url.query)
    print(connection.getresponse().read().decode())


if __name__ == "__main__":
    main()
