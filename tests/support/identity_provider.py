#!/usr/bin/python3
"""An OAuth 2.0 identity provider for tests, over HTTPS.

Usage: identity_provider.py PORT DIR CERT KEY --client-id ID [--client-secret SECRET]
                            [--access-lifetime SECONDS] [--access-token TOKEN ...]
                            [--refresh-token TOKEN ...]

Listens on 127.0.0.1:PORT (0: a free port) with the certificate CERT and key KEY and
prints "listening on 127.0.0.1:PORT". It serves one registered client, ID, confidential
with SECRET (client_secret in the form or HTTP Basic, RFC 6749 2.3.1) or public without,
and follows RFC 6749, RFC 7636 and RFC 8628 strictly:

  GET  /authorize   the user's sign-in, approved at once: checks response_type=code,
                    client_id, a loopback redirect_uri http://127.0.0.1:PORT/, state,
                    code_challenge and code_challenge_method=S256; answers 302 to
                    redirect_uri with code and state (an invalid request gets a 400 page
                    and no redirect)
  POST /devicecode  RFC 8628 3.1: device_code, user_code, verification_uri, expires_in
                    600, interval 0; the user approves at once
  POST /token       the grants authorization_code (code, redirect_uri and code_verifier
                    checked, the code used once), refresh_token (the refresh token
                    rotates: the old one is revoked), client_credentials (confidential
                    client, scope required, no refresh token) and device_code (a poll
                    sooner than the interval gets slow_down)

Access tokens live --access-lifetime seconds (default 3600). Every access token issued
goes into DIR/access_tokens as "TOKEN EXPIRY" (seconds since 1970), where the SMTP test
server looks tokens up. --access-token and --refresh-token register tokens as issued
before the start (the access tokens for an hour).

DIR/script, when it exists, scripts the next answers of /token: each request takes its
first line off and answers by it instead: an error code
("invalid_grant", "slow_down", "authorization_pending", "access_denied",
"expired_token", ...) as a 400 JSON error with the description "scripted <code>", "500"
an HTML page with status 500, "malformed" a 200 answer that is not JSON, "silence" no
answer at all. DIR/requests gets one line per request: "authorize", "devicecode" or the
grant type.
"""
import argparse
import base64
import hashlib
import hmac
import http.server
import json
import os
import re
import secrets
import ssl
import threading
import time
import urllib.parse


class Provider:
    def __init__(self, arguments):
        self.directory = arguments.directory
        self.client_id = arguments.client_id
        self.client_secret = arguments.client_secret
        self.access_lifetime = arguments.access_lifetime
        self.codes = {}      # code -> (redirect_uri, challenge, scope)
        self.devices = {}    # device_code -> [interval, time of the last poll]
        self.refresh_tokens = set(arguments.refresh_token)
        self.lock = threading.Lock()
        for token in arguments.access_token:
            self.record_access(token, int(time.time()) + 3600)

    def path(self, name):
        return os.path.join(self.directory, name)

    def log(self, line):
        with open(self.path("requests"), "a") as f:
            f.write(line + "\n")

    def scripted(self):
        """The next scripted answer, taken off the script; None when there is none."""
        try:
            with open(self.path("script")) as f:
                lines = f.read().split()
        except FileNotFoundError:
            return None
        if not lines:
            return None
        with open(self.path("script") + ".part", "w") as f:
            f.write("\n".join(lines[1:]))
        os.replace(self.path("script") + ".part", self.path("script"))
        return lines[0]

    def record_access(self, token, expiry):
        with open(self.path("access_tokens"), "a") as f:
            f.write("%s %d\n" % (token, expiry))

    def issue(self, refresh=True):
        access = "at-" + secrets.token_urlsafe(24)
        self.record_access(access, int(time.time()) + self.access_lifetime)
        answer = {"access_token": access, "token_type": "Bearer",
                  "expires_in": self.access_lifetime}
        if refresh:
            answer["refresh_token"] = "rt-" + secrets.token_urlsafe(24)
            self.refresh_tokens.add(answer["refresh_token"])
        return 200, answer


def error(code, description=None, status=400):
    body = {"error": code}
    if description:
        body["error_description"] = description
    return status, body


def is_loopback_redirect(uri):
    return re.fullmatch(r"http://127\.0\.0\.1:[0-9]{1,5}/", uri or "") is not None


class Handler(http.server.BaseHTTPRequestHandler):
    provider = None

    def log_message(self, *args):
        pass

    def send(self, status, body, headers=()):
        data = json.dumps(body).encode() if isinstance(body, dict) else body
        self.send_response(status)
        self.send_header("Content-Type", "application/json" if isinstance(body, dict)
                         else "text/html")
        self.send_header("Cache-Control", "no-store")
        for name, value in headers:
            self.send_header(name, value)
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        self.wfile.write(data)

    def do_GET(self):
        url = urllib.parse.urlsplit(self.path)
        if url.path != "/authorize":
            return self.send(404, b"not found")
        p = self.provider
        p.log("authorize")
        query = urllib.parse.parse_qs(url.query, keep_blank_values=True)
        one = {name: values[0] for name, values in query.items() if len(values) == 1}
        redirect = one.get("redirect_uri")
        if (one.get("client_id") != p.client_id or not is_loopback_redirect(redirect)
                or any(len(v) != 1 for v in query.values())):
            return self.send(400, b"invalid client or redirect_uri")
        if (one.get("response_type") != "code" or not one.get("state")
                or one.get("code_challenge_method") != "S256"
                or not re.fullmatch(r"[A-Za-z0-9_-]{43}", one.get("code_challenge", ""))):
            answer = {"error": "invalid_request", "state": one.get("state", "")}
        else:
            code = secrets.token_urlsafe(16)
            with p.lock:
                p.codes[code] = (redirect, one["code_challenge"], one.get("scope", ""))
            answer = {"code": code, "state": one["state"]}
        self.send(302, b"", [("Location", redirect + "?" + urllib.parse.urlencode(answer))])

    def form(self):
        length = int(self.headers.get("Content-Length", "0"))
        if self.headers.get("Content-Type", "").split(";")[0] != "application/x-www-form-urlencoded":
            return None
        query = urllib.parse.parse_qs(self.rfile.read(length).decode(), keep_blank_values=True)
        # RFC 6749 3.2: parameters must not be repeated.
        if any(len(v) != 1 for v in query.values()):
            return None
        return {name: values[0] for name, values in query.items()}

    def client_authenticated(self, form):
        p = self.provider
        secret = form.get("client_secret")
        client = form.get("client_id")
        basic = self.headers.get("Authorization", "")
        if basic.startswith("Basic "):
            client, _, secret = base64.b64decode(basic[6:]).decode().partition(":")
        if client != p.client_id:
            return False
        if p.client_secret is None:
            return secret is None
        return secret is not None and hmac.compare_digest(secret, p.client_secret)

    def do_POST(self):
        p = self.provider
        form = self.form()
        path = urllib.parse.urlsplit(self.path).path
        p.log("devicecode" if path == "/devicecode" else (form or {}).get("grant_type", "?"))
        with p.lock:
            scripted = p.scripted() if path == "/token" else None
            device = p.devices.get((form or {}).get("device_code"))
            # A scripted slow_down binds the client as a real one does (RFC 8628 3.5).
            if scripted == "slow_down" and device is not None:
                device[0] += 5
                device[1] = time.monotonic()
        if scripted == "silence":
            time.sleep(3600)
        if scripted == "500":
            return self.send(500, b"<html><body>Internal Server Error</body></html>")
        if scripted == "malformed":
            return self.send(200, b'{"access_token": "at-cut')
        if scripted is not None:
            return self.send(*error(scripted, "scripted " + scripted))
        if form is None:
            return self.send(*error("invalid_request", "not a form"))
        if path == "/devicecode":
            return self.send(*self.device_code(form))
        if path != "/token":
            return self.send(404, b"not found")
        if not self.client_authenticated(form):
            return self.send(*error("invalid_client", status=401))
        grants = {"authorization_code": self.code_grant, "refresh_token": self.refresh_grant,
                  "client_credentials": self.credentials_grant,
                  "urn:ietf:params:oauth:grant-type:device_code": self.device_grant}
        grant = grants.get(form.get("grant_type"))
        if grant is None:
            return self.send(*error("unsupported_grant_type"))
        with p.lock:
            self.send(*grant(form))

    def device_code(self, form):
        p = self.provider
        if form.get("client_id") != p.client_id:
            return error("invalid_client", status=401)
        device = secrets.token_urlsafe(16)
        with p.lock:
            p.devices[device] = [0, 0.0]
        return 200, {"device_code": device, "user_code": "WDJB-MJHT",
                     "verification_uri": "https://127.0.0.1:%d/device" % self.server.server_port,
                     "expires_in": 600, "interval": 0}

    def code_grant(self, form):
        p = self.provider
        entry = p.codes.pop(form.get("code"), None)
        if entry is None:
            return error("invalid_grant", "unknown or used code")
        redirect, challenge, _ = entry
        if form.get("redirect_uri") != redirect:
            return error("invalid_grant", "redirect_uri differs")
        verifier = form.get("code_verifier", "")
        digest = base64.urlsafe_b64encode(hashlib.sha256(verifier.encode()).digest()).rstrip(b"=")
        if not re.fullmatch(r"[A-Za-z0-9._~-]{43,128}", verifier) or digest.decode() != challenge:
            return error("invalid_grant", "PKCE verification failed")
        return p.issue()

    def refresh_grant(self, form):
        p = self.provider
        token = form.get("refresh_token")
        if token not in p.refresh_tokens:
            return error("invalid_grant", "refresh token revoked or unknown")
        p.refresh_tokens.discard(token)
        return p.issue()

    def credentials_grant(self, form):
        if self.provider.client_secret is None:
            return error("unauthorized_client")
        if not form.get("scope"):
            return error("invalid_scope")
        return self.provider.issue(refresh=False)

    def device_grant(self, form):
        p = self.provider
        device = p.devices.get(form.get("device_code"))
        if device is None:
            return error("invalid_grant", "unknown device code")
        now = time.monotonic()
        if now - device[1] < device[0]:
            device[0] += 5
            device[1] = now
            return error("slow_down")
        device[1] = now
        del p.devices[form["device_code"]]
        return p.issue()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("port", type=int)
    parser.add_argument("directory")
    parser.add_argument("cert")
    parser.add_argument("key")
    parser.add_argument("--client-id", required=True)
    parser.add_argument("--client-secret")
    parser.add_argument("--access-lifetime", type=int, default=3600)
    parser.add_argument("--access-token", nargs="*", default=[])
    parser.add_argument("--refresh-token", nargs="*", default=[])
    arguments = parser.parse_args()
    Handler.provider = Provider(arguments)
    server = http.server.ThreadingHTTPServer(("127.0.0.1", arguments.port), Handler)
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(arguments.cert, arguments.key)
    # The handshake happens in the request's thread, so a client that stalls in it holds
    # up no other.
    server.socket = context.wrap_socket(server.socket, server_side=True,
                                        do_handshake_on_connect=False)
    print("listening on 127.0.0.1:%d" % server.server_port, flush=True)
    server.serve_forever()


if __name__ == "__main__":
    main()
