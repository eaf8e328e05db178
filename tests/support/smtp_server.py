#!/usr/bin/python3
"""An SMTP server for tests, built on aiosmtpd.

Usage: smtp_server.py PORT DIR [--tls CERT KEY] [--starttls CERT KEY] [--auth NAME ...] [--dsn]
                      [--user USER] [--password PASSWORD] [--ntlm-users FILE]
                      [--reject-recipient ADDRESS ...] [--defer-recipient ADDRESS ...]
                      [--drop-on-quit] [--auth-required]
                      [--resize-on-data FILE SIZE] [--oauth-tokens FILE]

Listens on 127.0.0.1:PORT (PORT 0 takes a free port), plain, with implicit TLS
(--tls), or offering STARTTLS and requiring it before any other command but EHLO,
NOOP and QUIT (--starttls), and offers the AUTH mechanisms named with --auth, none by default:

  LOGIN          prompts "Username:" and "Password:" in Base64; Base64 answers
  PLAIN          the clear-text dialogue: prompts "username:" and "password:" and the
                 answers in clear, no Base64 (this is not RFC 4616)
  CRAM-MD5       RFC 2195
  NTLM           a GSSAPI acceptor with gss-ntlmssp; the accounts are the lines
                 "DOMAIN:user:password" of the --ntlm-users file
  BUILTIN-LOGIN  aiosmtpd's own LOGIN (prompt "User Name")
  BUILTIN-PLAIN  aiosmtpd's own PLAIN (RFC 4616: the initial response on the AUTH line,
                 or an empty 334 and then Base64)
  OAUTHBEARER    RFC 7628: "n,a=USER,^Ahost=H^Aport=P^Aauth=Bearer TOKEN^A^A", where H
                 is 127.0.0.1 or localhost and P the server's port
  XOAUTH2        "user=USER^Aauth=Bearer TOKEN^A^A"

Every mechanism but NTLM accepts the one account USER / PASSWORD ("user" / "secret");
the OAuth mechanisms take PASSWORD as the bearer token or, with --oauth-tokens, any token
that FILE lists as unexpired: the lines "TOKEN EXPIRY" (seconds since 1970) that the test
identity provider (identity_provider.py) writes as it issues tokens. They take the initial response
on the AUTH line or, after an empty 334, on a line of its own, which may be longer than
a command. A response of any other form is refused with 501. A wrong user or token gets
the error challenge "334 " and the Base64 of REFUSAL (below); the client's answer must
be the mechanism's dummy response (OAUTHBEARER ^A, XOAUTH2 empty), which is refused
with "535 5.7.8 Authentication credentials invalid" (anything else with 501).

With --dsn the server announces DSN and takes the parameters of RFC 3461 (RET and ENVID
of MAIL FROM, NOTIFY and ORCPT of RCPT TO), which aiosmtpd otherwise refuses with 555.

Each ADDRESS of --reject-recipient is refused at RCPT TO with
"550 5.1.1 <ADDRESS>: Recipient address rejected: User unknown"; each ADDRESS of
--defer-recipient the first time only with "451 4.3.0 <ADDRESS>: Try again later". With
--drop-on-quit the
server closes the connection on QUIT instead of answering it. With --auth-required it
refuses MAIL FROM before a successful AUTH (530), as a relay does.

With --resize-on-data the server cuts FILE to SIZE bytes, or extends it with zeros, when
the first line of message text arrives, and reads on: an attachment that changes while
the client sends it. Its receive buffer is fixed at 64 KiB, so that at that moment the
client has sent no more than its own send buffer holds beyond that line. "DATA ended" on
standard output tells that the message has been stored or, its connection lost, never
will be.

Once it listens, the server prints "listening on 127.0.0.1:PORT" on standard output,
with the port it got.

DIR receives, for message N (counting from 1), the file N.envelope with the lines
"MAIL FROM:<address> PARAMETERS" and "RCPT TO:<address> PARAMETERS", and the file N.eml
with the text after DATA (dots unstuffed, without the end-of-data line); the file
"logins" gets the line "MECHANISM identity" for every successful AUTH; the file "refused"
the line "MECHANISM user password" for every user and password it refused, as the client
sent them (so a test sees where a password went); and the file
"transcript" gets every command line that the server reads (not the message text nor the
answers within AUTH), without its line end, as Python writes bytes (CR as \\r, NUL as
\\x00), one per line. All of it is written before the reply that ends the command, so a
client that has its reply can read the files.
"""
import argparse
import asyncio
import base64
import binascii
import hmac
import logging
import os
import re
import socket
import ssl
import time

from aiosmtpd.smtp import MISSING, SMTP, AuthResult, LoginPassword

NTLMSSP_OID = "1.3.6.1.4.1.311.2.2.10"


class Recorder:
    """Writes what the server received into its directory."""

    def __init__(self, directory):
        self.directory = directory
        self.count = 0

    def write(self, name, data):
        path = os.path.join(self.directory, name)
        with open(path + ".part", "wb") as f:
            f.write(data)
        os.replace(path + ".part", path)

    def login(self, mechanism, identity):
        with open(os.path.join(self.directory, "logins"), "a") as f:
            f.write("%s %s\n" % (mechanism, identity))

    def refusal(self, mechanism, user, password):
        with open(os.path.join(self.directory, "refused"), "a") as f:
            f.write("%s %s %s\n" % (mechanism, user.decode(errors="replace"),
                                     (password or b"").decode(errors="replace")))

    def message(self, envelope):
        self.count += 1
        lines = ["MAIL FROM:<%s> %s" % (envelope.mail_from, " ".join(envelope.mail_options))]
        for address, options in envelope.recipients:
            lines.append("RCPT TO:<%s> %s" % (address, " ".join(options)))
        # The envelope last: its file tells that the message is complete.
        self.write("%d.eml" % self.count, envelope.original_content)
        self.write("%d.envelope" % self.count, "".join(l.rstrip() + "\n" for l in lines).encode())


class Transcript(logging.Handler):
    """Keeps the command lines that aiosmtpd logs as it reads them ("peer >> line")."""

    def __init__(self, path):
        super().__init__(logging.INFO)
        self.path = path

    def emit(self, record):
        if record.msg != "%r >> %r":
            return
        with open(self.path, "a") as f:
            f.write(repr(record.args[1])[2:-1] + "\n")


def keep_transcript(directory):
    log = logging.getLogger("mail.log")
    log.setLevel(logging.INFO)
    log.propagate = False
    log.addHandler(Transcript(os.path.join(directory, "transcript")))


class Handler:
    def __init__(self, recorder, user, password, rejected, token_file):
        self.recorder = recorder
        self.user = user.encode()
        self.password = password.encode()
        self.rejected = rejected
        self.deferred = set()
        self.token_file = token_file

    def token_valid(self, token):
        if self.token_file is None:
            return token == self.password
        try:
            with open(self.token_file, "rb") as f:
                issued = dict(line.split() for line in f if line.strip())
        except FileNotFoundError:
            return False
        return token in issued and int(issued[token]) > time.time()

    async def handle_RCPT(self, server, session, envelope, address, rcpt_options):
        if address in self.rejected:
            return "550 5.1.1 <%s>: Recipient address rejected: User unknown" % address
        if address in self.deferred:
            self.deferred.discard(address)
            return "451 4.3.0 <%s>: Try again later" % address
        # aiosmtpd keeps the options of all recipients in one list; each is kept with
        # its own recipient here.
        envelope.rcpt_tos.append(address)
        envelope.rcpt_options.extend(rcpt_options)
        if not hasattr(envelope, "recipients"):
            envelope.recipients = []
        envelope.recipients.append((address, rcpt_options))
        return "250 OK"

    async def handle_DATA(self, server, session, envelope):
        self.recorder.message(envelope)
        return "250 OK"

    def verdict(self, mechanism, user, password):
        if user == self.user and password == self.password:
            self.recorder.login(mechanism, user.decode())
            return AuthResult(success=True, auth_data=LoginPassword(user, password))
        self.recorder.refusal(mechanism, user, password)
        # Not handled: the server answers 535, so the client does not wait for more.
        return AuthResult(success=False, handled=False)

    def authenticator(self, server, session, envelope, mechanism, auth_data):
        return self.verdict(mechanism, auth_data.login, auth_data.password)


# The mechanisms of this project's client, as aiosmtpd handler methods: "auth_X" offers
# mechanism X ("__" stands for "-"). Each gets the server and the AUTH arguments.


async def auth_login(self, server, args):
    user = await server.challenge_auth("Username:")
    if user is MISSING:
        return AuthResult(success=False, handled=True)
    password = await server.challenge_auth("Password:")
    if password is MISSING:
        return AuthResult(success=False, handled=True)
    return self.verdict("LOGIN", user, password)


async def read_clear_line(server):
    return (await server._reader.readline()).rstrip(b"\r\n")


async def auth_plain_dialogue(self, server, args):
    await server.push("334 username:")
    user = await read_clear_line(server)
    await server.push("334 password:")
    password = await read_clear_line(server)
    return self.verdict("PLAIN", user, password)


async def auth_cram_md5(self, server, args):
    challenge = ("<%d.%d@test.server>" % (os.getpid(), time.time_ns())).encode()
    answer = await server.challenge_auth(challenge)
    if answer is MISSING:
        return AuthResult(success=False, handled=True)
    user, _, digest = answer.rpartition(b" ")
    expected = hmac.new(self.password, challenge, "md5").hexdigest().encode()
    password = self.password if hmac.compare_digest(digest, expected) else None
    return self.verdict("CRAM-MD5", user, password)


async def auth_ntlm(self, server, args):
    import gssapi  # only servers that offer NTLM need it

    mech = gssapi.OID.from_int_seq(NTLMSSP_OID)
    try:
        credentials = gssapi.Credentials(usage="accept", mechs=[mech])
        context = gssapi.SecurityContext(creds=credentials, usage="accept")
        negotiate = base64.b64decode(args[1]) if len(args) > 1 else b""
        answer = await server.challenge_auth(context.step(negotiate))
        if answer is MISSING:
            return AuthResult(success=False, handled=True)
        context.step(answer)
    except gssapi.exceptions.GSSError:
        return AuthResult(success=False, handled=False)
    if not context.complete:
        return AuthResult(success=False, handled=False)
    # gss-ntlmssp counts the name's NUL in its length.
    self.recorder.login("NTLM", str(context.initiator_name).rstrip("\0"))
    return AuthResult(success=True)


# The JSON of the OAuth error challenge.
REFUSAL = b'{"status":"invalid_token","scope":"https://mail.test/"}'


async def initial_response(server, args):
    """The client's first response: on the AUTH line or, when that is only the mechanism,
    after an empty 334. None (with 501 sent) when it is not Base64; MISSING when the
    client gave up."""
    if len(args) == 1:
        return await server.challenge_auth("")
    try:
        return base64.b64decode(args[1], validate=True)
    except binascii.Error:
        await server.push("501 5.5.2 Can't decode base64")
        return None


async def bearer_exchange(self, server, args, mechanism, pattern, dummy):
    """Checks the response against pattern, whose groups are the user and the token;
    a wrong account gets the error challenge, whose answer must be dummy."""
    response = await initial_response(server, args)
    if response is None or response is MISSING:
        return AuthResult(success=False, handled=True)
    match = re.fullmatch(pattern, response, re.DOTALL)
    if match is None:
        await server.push("501 5.5.2 Malformed %s response" % mechanism)
        return AuthResult(success=False, handled=True)
    user, token = match.groups()
    if user == self.user and self.token_valid(token):
        self.recorder.login(mechanism, user.decode())
        return AuthResult(success=True, auth_data=LoginPassword(user, token))
    answer = await server.challenge_auth(REFUSAL)
    if answer is MISSING:
        return AuthResult(success=False, handled=True)
    if answer != dummy:
        await server.push("501 5.5.2 Expected the dummy response")
        return AuthResult(success=False, handled=True)
    return AuthResult(success=False, handled=False)


async def auth_oauthbearer(self, server, args):
    port = server.transport.get_extra_info("sockname")[1]
    pattern = (rb"n,a=([^,]*),\x01host=(?:127\.0\.0\.1|localhost)\x01port=%d"
               rb"\x01auth=Bearer ([^\x01]+)\x01\x01" % port)
    return await bearer_exchange(self, server, args, "OAUTHBEARER", pattern, b"\x01")


async def auth_xoauth2(self, server, args):
    pattern = rb"user=([^\x01]*)\x01auth=Bearer ([^\x01]+)\x01\x01"
    return await bearer_exchange(self, server, args, "XOAUTH2", pattern, b"")


DSN_PARAMETERS = ("RET", "ENVID", "NOTIFY", "ORCPT")


class DsnSMTP(SMTP):
    """aiosmtpd's session that takes the DSN parameters instead of refusing them."""

    def _getparams(self, params):
        # aiosmtpd refuses the parameters left over once it has taken those it knows;
        # the DSN ones are taken here. The envelope keeps them all, upper-cased.
        result = super()._getparams(params)
        if result is not None:
            for name in DSN_PARAMETERS:
                result.pop(name, None)
        return result


class DropOnQuit:
    """A session that closes the connection on QUIT without the 221 reply."""

    async def smtp_QUIT(self, arg):
        self._handler_coroutine.cancel()
        self.transport.close()


class ReaderWithFirstLineHook:
    """The session's reader, which calls hook once, when the first line has arrived."""

    def __init__(self, reader, hook):
        self._wrapped, self._hook = reader, hook

    def __getattr__(self, name):
        return getattr(self._wrapped, name)

    async def readuntil(self, separator=b"\n"):
        line = await self._wrapped.readuntil(separator)
        if self._hook is not None:
            self._hook()
            self._hook = None
        return line


def resize_on_data(path, size):
    """A session that resizes the file at path when the first line of text arrives."""

    class ResizeOnData:
        def connection_made(self, transport):
            transport.get_extra_info("socket").setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF,
                                                          64 * 1024)
            super().connection_made(transport)

        async def smtp_DATA(self, arg):
            reader = self._reader
            self._reader = ReaderWithFirstLineHook(reader, lambda: os.truncate(path, size))
            try:
                return await super().smtp_DATA(arg)
            finally:
                self._reader = reader
                # Said once the message is stored or, the connection lost, never will be.
                print("DATA ended", flush=True)

    return ResizeOnData


async def handle_ehlo_with_dsn(self, server, session, envelope, hostname, responses):
    """Announces DSN before the last line of the EHLO reply."""
    session.host_name = hostname
    return responses[:-1] + ["250-DSN", responses[-1]]


OWN_MECHANISMS = {
    "LOGIN": ("auth_LOGIN", auth_login),
    "PLAIN": ("auth_PLAIN", auth_plain_dialogue),
    "CRAM-MD5": ("auth_CRAM__MD5", auth_cram_md5),
    "NTLM": ("auth_NTLM", auth_ntlm),
    "OAUTHBEARER": ("auth_OAUTHBEARER", auth_oauthbearer),
    "XOAUTH2": ("auth_XOAUTH2", auth_xoauth2),
}
# The OAuth mechanisms read a response line longer than a command: a token takes a few
# KiB. aiosmtpd's reader holds lines of line_length_limit bytes.
LONG_LINE_MECHANISMS = {"OAUTHBEARER", "XOAUTH2"}


class LongLines:
    """A session that reads lines of up to 16 KiB."""

    line_length_limit = 16384
BUILTIN_MECHANISMS = {"BUILTIN-LOGIN": "LOGIN", "BUILTIN-PLAIN": "PLAIN"}


def make_handler(names, recorder, user, password, dsn, rejected, token_file):
    """A handler offering names (and DSN); aiosmtpd's built-in mechanisms not named are
    excluded."""
    methods = dict(OWN_MECHANISMS[n] for n in names if n in OWN_MECHANISMS)
    if dsn:
        methods["handle_EHLO"] = handle_ehlo_with_dsn
    handler = type("Handler", (Handler,), methods)(recorder, user, password, rejected, token_file)
    builtins = {BUILTIN_MECHANISMS[n] for n in names if n in BUILTIN_MECHANISMS}
    overridden = {n for n in names if n in OWN_MECHANISMS}
    excluded = [m for m in BUILTIN_MECHANISMS.values() if m not in builtins | overridden]
    return handler, excluded


def parse_arguments():
    parser = argparse.ArgumentParser()
    parser.add_argument("port", type=int)
    parser.add_argument("directory")
    parser.add_argument("--tls", nargs=2, metavar=("CERT", "KEY"))
    parser.add_argument("--starttls", nargs=2, metavar=("CERT", "KEY"))
    parser.add_argument("--auth", nargs="*", default=[],
                        choices=sorted(OWN_MECHANISMS) + sorted(BUILTIN_MECHANISMS))
    parser.add_argument("--user", default="user")
    parser.add_argument("--password", default="secret")
    parser.add_argument("--ntlm-users")
    parser.add_argument("--dsn", action="store_true")
    parser.add_argument("--reject-recipient", nargs="*", default=[], metavar="ADDRESS")
    parser.add_argument("--defer-recipient", nargs="*", default=[], metavar="ADDRESS")
    parser.add_argument("--drop-on-quit", action="store_true")
    parser.add_argument("--auth-required", action="store_true")
    parser.add_argument("--resize-on-data", nargs=2, metavar=("FILE", "SIZE"))
    parser.add_argument("--oauth-tokens", metavar="FILE")
    return parser.parse_args()


def server_context(files):
    """A TLS server context for the certificate and key files, or None."""
    if not files:
        return None
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(*files)
    context.num_tickets = 0  # nothing but the dialogue is in flight
    return context


async def serve(arguments):
    if arguments.ntlm_users:
        os.environ["NTLM_USER_FILE"] = arguments.ntlm_users
    keep_transcript(arguments.directory)
    recorder = Recorder(arguments.directory)
    handler, excluded = make_handler(arguments.auth, recorder, arguments.user,
                                     arguments.password, arguments.dsn,
                                     set(arguments.reject_recipient), arguments.oauth_tokens)
    handler.deferred = set(arguments.defer_recipient)
    session_class = DsnSMTP if arguments.dsn else SMTP
    if arguments.drop_on_quit:
        session_class = type("Session", (DropOnQuit, session_class), {})
    if LONG_LINE_MECHANISMS & set(arguments.auth):
        session_class = type("Session", (LongLines, session_class), {})
    if arguments.resize_on_data:
        path, size = arguments.resize_on_data
        session_class = type("Session", (resize_on_data(path, int(size)), session_class), {})
    context = server_context(arguments.tls)
    starttls = server_context(arguments.starttls)

    def make_session():
        # A fixed host name: the default would look the local name up in DNS.
        return session_class(handler, hostname="test.server", ident="test server",
                    auth_require_tls=False, auth_required=arguments.auth_required,
                    auth_exclude_mechanism=excluded,
                    authenticator=handler.authenticator, tls_context=starttls,
                    require_starttls=starttls is not None)

    loop = asyncio.get_running_loop()
    server = await loop.create_server(make_session, host="127.0.0.1", port=arguments.port,
                                      ssl=context)
    print("listening on 127.0.0.1:%d" % server.sockets[0].getsockname()[1], flush=True)
    await server.serve_forever()


if __name__ == "__main__":
    asyncio.run(serve(parse_arguments()))
