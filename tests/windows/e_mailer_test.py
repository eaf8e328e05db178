"""The Windows program end to end under Wine: e-mailer.exe runs in a Wine prefix of its
own, a copy of a template prefix made once per test run, with its settings written into
that prefix's registry (HKEY_CURRENT_USER\\Software\\Zelkor\\Kestrum\\SMTP) by
`wine reg add` or `wine reg import`, against aiosmtpd on a free port of 127.0.0.1
(tests/support/smtp_server.py). The tests read its exit status, what it wrote, and the
messages the server stored, parsed back with Python's email package. The program always
connects directly, so the sends through real proxies (microsocks, dante-server,
tinyproxy from tests/support/proxies.py, natively on 127.0.0.1) are the engine's, made
by the test program proxy_send.exe with the connection's proxy settings. Without a display
every text goes to standard error; the window tests run the program on an Xvfb server of
their own, find its windows by name and keep their screenshots in
E_MAILER_TEST_OUTPUT/<test>/.

Run by ctest, one test per process: e_mailer_test.py EMailerTest.test_<name>.
"""
import email
import email.policy
import email.utils
import glob
import os
import selectors
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "support"))
import proxies  # noqa: E402
from wine_command import WINE  # noqa: E402
from x_display import Xvfb  # noqa: E402

PROGRAM = os.environ["EMAILER_EXE"]
PROXY_SEND = os.environ["PROXY_SEND_EXE"]
TEMPLATE_PREFIX = os.environ["WINE_TEMPLATE_PREFIX"]
OUTPUT = os.environ["E_MAILER_TEST_OUTPUT"]
SMTP_SERVER = os.path.join(HERE, "..", "support", "smtp_server.py")
IDENTITY_PROVIDER = os.path.join(HERE, "..", "support", "identity_provider.py")

# Bound of one wait for a server, a window or a process; Wine starts slowly on a loaded
# machine, and the tests never wait for it to pass.
WAIT = 90.0
AUTO_CLOSE_SECONDS = 10.0
SETTINGS_KEY = r"HKCU\Software\Zelkor\Kestrum\SMTP"
MACHINE_SETTINGS_KEY = r"HKLM\Software\Zelkor\Kestrum\SMTP"

# Wine's NTLM runs Samba's ntlm_auth (package winbind) as its helper.
NO_NTLM_AUTH = "Wine's NTLM needs Samba's ntlm_auth (package winbind), which is not installed"


class WinePrefix:
    """A fresh Wine prefix in directory, copied from the template: hard links for the
    system's files, which Wine only reads, and copies of the registry files, which its
    server rewrites (it saves a hive by renaming a new file over it, so a hard link
    would survive too, but nothing of this prefix may reach the template)."""

    def __init__(self, directory, display):
        self.path = os.path.join(directory, "prefix")
        subprocess.run(["cp", "-al", TEMPLATE_PREFIX, self.path], check=True, timeout=WAIT)
        for hive in glob.glob(os.path.join(self.path, "*.reg")):
            os.unlink(hive)
            shutil.copy2(os.path.join(TEMPLATE_PREFIX, os.path.basename(hive)), hive)
        # The ANSI code page follows the locale: C.UTF-8 gives 1252, and Wine turns
        # the UTF-8 command line into it.
        self.env = dict(os.environ, WINEPREFIX=self.path, WINEDEBUG="-all",
                        WINEDLLOVERRIDES="mscoree,mshtml=", DISPLAY=display,
                        LANG="C.UTF-8", LC_ALL="C.UTF-8")

    def close(self):
        subprocess.run(["wineserver", "-k"], env=self.env, capture_output=True, timeout=WAIT)
        subprocess.run(["wineserver", "-w"], env=self.env, capture_output=True, timeout=WAIT)
        shutil.rmtree(self.path, ignore_errors=True)

    def start(self, *args, stdin=None):
        """wine with args (and standard input from the file stdin, when given); its
        output goes to files, since the Wine server and services that the first program
        of a prefix starts keep them open long after it ends."""
        output = tempfile.TemporaryFile(), tempfile.TemporaryFile()
        process = subprocess.Popen([*WINE, *args], env=self.env, stdin=stdin, stdout=output[0],
                                   stderr=output[1])
        process.output = output
        return process

    @staticmethod
    def finish(process):
        """Exit status, standard output and standard error (Windows line ends made
        plain) of a process of start, once it has ended."""
        process.wait(timeout=WAIT)
        texts = []
        for f in process.output:
            f.seek(0)
            texts.append(f.read().decode("cp1252").replace("\r\n", "\n"))
            f.close()
        return (process.returncode, *texts)

    def wine(self, *args):
        done = self.finish(self.start(*args))
        if done[0] != 0:
            raise AssertionError("wine %s: %r" % (" ".join(args), done))

    def reg_add(self, settings, key=SETTINGS_KEY):
        """Writes settings (name: text or number) into key with reg add: texts as REG_SZ,
        numbers as REG_DWORD."""
        for name, value in settings.items():
            kind = "REG_DWORD" if isinstance(value, int) else "REG_SZ"
            self.wine("reg", "add", key, "/v", name, "/t", kind, "/d", str(value), "/f")

    def reg_import(self, lines):
        """Imports the settings key with the value lines of a .reg file, written as
        regedit exports it: version 5, UTF-16LE with a byte order mark, CR LF."""
        text = "\r\n".join(["Windows Registry Editor Version 5.00", "",
                            "[HKEY_CURRENT_USER\\Software\\Zelkor\\Kestrum\\SMTP]", *lines, "", ""])
        with open(os.path.join(self.path, "drive_c", "settings.reg"), "wb") as f:
            f.write(b"\xff\xfe" + text.encode("utf-16-le"))
        self.wine("reg", "import", "C:\\settings.reg")


class SmtpServer:
    """tests/support/smtp_server.py on a free port, storing into directory."""

    def __init__(self, directory, *options):
        self.directory = os.path.join(directory, "server")
        os.makedirs(self.directory)
        self.process = subprocess.Popen(["/usr/bin/python3", SMTP_SERVER, "0", self.directory,
                                         *options], stdout=subprocess.PIPE, text=True)
        with selectors.DefaultSelector() as selector:
            selector.register(self.process.stdout, selectors.EVENT_READ)
            line = self.process.stdout.readline() if selector.select(WAIT) else ""
        if not line.startswith("listening on 127.0.0.1:"):
            self.stop()
            raise AssertionError("the SMTP server did not start: %r" % line)
        self.port = int(line.rsplit(":", 1)[1])

    def stop(self):
        self.process.terminate()
        self.process.wait(timeout=WAIT)
        self.process.stdout.close()

    def messages(self):
        """The stored messages, parsed, and their envelopes."""
        found = []
        for number in range(1, len(glob.glob(os.path.join(self.directory, "*.envelope"))) + 1):
            path = os.path.join(self.directory, "%d." % number)
            with open(path + "eml", "rb") as eml, open(path + "envelope") as envelope:
                found.append((email.message_from_binary_file(eml, policy=email.policy.default),
                              envelope.read()))
        return found

    def logins(self):
        path = os.path.join(self.directory, "logins")
        if not os.path.exists(path):
            return []
        with open(path) as f:
            return f.read().splitlines()


class EMailerTest(unittest.TestCase):
    def setUp(self):
        self.output = os.path.join(OUTPUT, self._testMethodName)
        shutil.rmtree(self.output, ignore_errors=True)
        os.makedirs(self.output)
        self.xvfb = None
        self.prefix = None

    # --- tools -----------------------------------------------------------------------

    def use_display(self):
        """Runs the program's windows on an Xvfb server of the test's own; called before
        the prefix is made, whose Wine server is bound to the display it starts with."""
        self.xvfb = Xvfb().__enter__()
        self.addCleanup(self.xvfb.__exit__)

    def wine_prefix(self):
        if self.prefix is None:
            self.prefix = WinePrefix(self.output, self.xvfb.display if self.xvfb else "")
            self.addCleanup(self.prefix.close)
        return self.prefix

    def server(self, *options):
        server = SmtpServer(self.output, *options)
        self.addCleanup(server.stop)
        return server

    def certificate(self):
        """A self-signed certificate for localhost and its key."""
        cert, key = (os.path.join(self.output, name) for name in ("cert.pem", "key.pem"))
        subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                        "ec_paramgen_curve:prime256v1", "-nodes", "-subj", "/CN=localhost",
                        "-addext", "subjectAltName=DNS:localhost", "-days", "2",
                        "-keyout", key, "-out", cert], check=True, capture_output=True,
                       timeout=WAIT)
        return cert, key

    @staticmethod
    def settings_for(server):
        return {"Server": "127.0.0.1", "Port": server.port, "SenderName": "Backup job",
                "SenderEMail": "backup@example.com", "RecipientName": "Admin",
                "RecipientEMail": "admin@example.com"}

    def start(self, *args):
        """The program with args in the test's prefix."""
        process = self.wine_prefix().start(PROGRAM, *args)
        self.addCleanup(lambda: (process.poll() is None and process.kill(), process.wait()))
        return process

    def finish(self, process):
        return self.wine_prefix().finish(process)

    def run_mailer(self, *args):
        return self.finish(self.start(*args))

    def only_message(self, server):
        messages = server.messages()
        self.assertEqual(len(messages), 1)
        return messages[0]

    def refusing_port(self):
        """A port of 127.0.0.1 that refuses connections: bound, so no one else takes
        it, but not listening."""
        refusing = socket.socket()
        self.addCleanup(refusing.close)
        refusing.bind(("127.0.0.1", 0))
        return refusing.getsockname()[1]

    # --- a send ------------------------------------------------------------------------

    def test_message_is_delivered_and_reads_back(self):
        server = self.server()
        self.wine_prefix().reg_add(self.settings_for(server))
        # Latin-1 text, in the ANSI code page 1252 on the command line.
        self.assertEqual(self.run_mailer("Grüße aus Köln", "Schöne Grüße\n.snapshots kept"),
                         (0, "", ""))
        message, envelope = self.only_message(server)
        self.assertEqual(envelope, "MAIL FROM:<backup@example.com>\nRCPT TO:<admin@example.com>\n")
        self.assertEqual(message.defects, [])
        self.assertEqual(message["From"], "Backup job <backup@example.com>")
        self.assertEqual(message["To"], "Admin <admin@example.com>")
        self.assertEqual(message["Subject"], "Grüße aus Köln")
        self.assertEqual(message["X-Mailer"], "CTAVSMTPConnection v2.67")
        # The code page is 1252, so the charset stays the one the settings were made for.
        self.assertEqual(message.get_content_type(), "text/plain")
        self.assertEqual(message.get_content_charset(), "iso-8859-1")
        self.assertEqual(message.get_content(), "Schöne Grüße\n.snapshots kept\n")
        self.assertIsNotNone(email.utils.parsedate_to_datetime(message["Date"]).tzinfo)
        self.assertRegex(message["Message-ID"], r"^<[^@<>]+@example\.com>$")

    def test_sendmail_exe_sends_the_message_of_standard_input(self):
        server = self.server()
        self.wine_prefix().reg_add(self.settings_for(server))
        # The program under the name sendmail, in any letter case, as PHP runs it.
        sendmail = os.path.join(self.output, "SendMail.EXE")
        shutil.copy(PROGRAM, sendmail)
        path = os.path.join(self.output, "message.txt")
        with open(path, "wb") as f:
            f.write(b"To: list@example.com\r\nBcc: hidden@example.com\r\nSubject: from PHP\r\n"
                    b"\r\nline one\r\n.\r\nline three\r\n")
        with open(path, "rb") as stdin:
            done = self.finish(self.wine_prefix().start(sendmail, "-t", "-i", stdin=stdin))
        self.assertEqual(done, (0, "", ""))
        message, envelope = self.only_message(server)
        self.assertEqual(envelope, "MAIL FROM:<backup@example.com>\nRCPT TO:<list@example.com>\n"
                                   "RCPT TO:<hidden@example.com>\n")
        self.assertIsNone(message["Bcc"])
        self.assertEqual(message["From"], "Backup job <backup@example.com>")
        self.assertEqual(message.get_content(), "line one\n.\nline three\n")

    # The queue: with the server down, sendmail.exe keeps the message in the user's
    # queue (%LOCALAPPDATA%\e-mailer\queue) and exits 0; once the server is up,
    # e-mailer.exe --flush delivers it once and empties the queue.
    def test_queued_with_the_server_down_then_flushed_to_the_server_up(self):
        prefix = self.wine_prefix()
        prefix.reg_add({"Server": "127.0.0.1", "Port": str(self.refusing_port()),
                        "SenderEMail": "backup@example.com"})
        sendmail = os.path.join(self.output, "sendmail.exe")
        shutil.copy(PROGRAM, sendmail)
        path = os.path.join(self.output, "message.txt")
        with open(path, "wb") as f:
            f.write(b"Subject: kept\r\n\r\nwritten while the server was away\r\n")
        with open(path, "rb") as stdin:
            status, out, err = self.finish(prefix.start(sendmail, "-i", "admin@example.com", stdin=stdin))
        self.assertEqual((status, out), (0, ""), err)
        self.assertIn("queued as ", err)
        queue = os.path.join(prefix.path, "drive_c", "users", "*", "AppData", "Local", "e-mailer", "queue")
        self.assertEqual(len(glob.glob(os.path.join(queue, "*.entry"))), 1)
        status, listing, err = self.finish(prefix.start(sendmail, "-bp"))
        self.assertEqual(status, 0, err)
        self.assertIn("admin@example.com", listing)

        server = self.server()
        prefix.reg_add({"Port": str(server.port)})
        self.assertEqual(self.run_mailer("--flush"), (0, "", ""))
        message, envelope = self.only_message(server)
        self.assertEqual(envelope, "MAIL FROM:<backup@example.com>\nRCPT TO:<admin@example.com>\n")
        self.assertEqual(message["Subject"], "kept")
        self.assertEqual(message.get_content(), "written while the server was away\n")
        self.assertEqual(glob.glob(os.path.join(queue, "*.entry")), [])

    def test_implicit_tls_with_settings_from_reg_import(self):
        server = self.server("--tls", *self.certificate())
        # A name in the settings reaches the program through the registry's Unicode
        # and the ANSI code page.
        self.wine_prefix().reg_import([
            '"Server"="localhost"', '"Port"=dword:%08x' % server.port, '"SSL"="1"',
            '"SenderName"="Jürgen Groß"', '"SenderEMail"="backup@example.com"',
            '"RecipientEMail"="admin@example.com"'])
        self.assertEqual(self.run_mailer("Backup done", "Over TLS.", "showui"),
                         (0, "", "e-mailer: Message sent OK\n"))
        message, _ = self.only_message(server)
        self.assertEqual(message["From"], "Jürgen Groß <backup@example.com>")
        self.assertEqual(message.get_content(), "Over TLS.\n")

    # The certificate checked: a self-signed one is refused before anything is sent, and
    # taken once its file, at a Windows path, is named as the CA.
    def test_implicit_tls_checks_the_certificate_against_tlscafile(self):
        cert, key = self.certificate()
        server = self.server("--tls", cert, key)
        shutil.copy(cert, os.path.join(self.wine_prefix().path, "drive_c", "ca.pem"))
        settings = self.settings_for(server)
        settings.update({"Server": "localhost", "SSL": "1", "TLSVerify": 1})
        self.wine_prefix().reg_add(settings)
        self.assertEqual(self.run_mailer("Backup done", "Body"), (1, "", (
            "e-mailer: Failed to connect via SSL: Details:the server's certificate is not "
            "trusted: self-signed certificate. Name its CA in TLSCAFile, pin its certificate "
            "with TLSFingerprint, or turn the check off with TLSVerify 0\n"
            "error:0A000086:SSL routines::certificate verify failed\n\n"
            "e-mailer: Failed to connect to SMTP server\n\n")))
        self.assertEqual(server.messages(), [])
        self.wine_prefix().reg_add({"TLSCAFile": "C:\\ca.pem"})
        self.assertEqual(self.run_mailer("Backup done", "Body"), (0, "", ""))
        self.assertEqual(len(server.messages()), 1)

    # STARTTLS to a server that requires it before AUTH: the certificate of "localhost"
    # is checked against TLSCAFile (StartTLS turns the check on), and the login and the
    # message go over TLS.
    def test_starttls_checks_the_certificate_then_logs_in_and_sends(self):
        cert, key = self.certificate()
        server = self.server("--starttls", cert, key, "--auth", "LOGIN")
        shutil.copy(cert, os.path.join(self.wine_prefix().path, "drive_c", "ca.pem"))
        settings = self.settings_for(server)
        settings.update({"Server": "localhost", "StartTLS": 1, "TLSCAFile": "C:\\ca.pem",
                         "AuthMethod": 2, "AuthUser": "user", "AuthPassword": "secret"})
        self.wine_prefix().reg_add(settings)
        self.assertEqual(self.run_mailer("Backup done", "Over STARTTLS."), (0, "", ""))
        self.assertEqual(server.logins(), ["LOGIN user"])
        message, _ = self.only_message(server)
        self.assertEqual(message.get_content(), "Over STARTTLS.\n")

    # A server that does not offer STARTTLS: error 554 with the EHLO reply, then the
    # dialog's text with the reply to the QUIT that ended the session; no login, nothing
    # sent.
    def test_starttls_not_offered_fails_before_anything_is_sent(self):
        server = self.server("--auth", "LOGIN")
        settings = self.settings_for(server)
        settings.update({"StartTLS": 1, "AuthMethod": 2, "AuthUser": "user",
                         "AuthPassword": "secret"})
        self.wine_prefix().reg_add(settings)
        self.assertEqual(self.run_mailer("Backup done", "Body"), (1, "", (
            "e-mailer: STARTTLS not offered, Last Response: 250-test.server\n"
            "250-SIZE 33554432\n250-8BITMIME\n250-AUTH LOGIN\n250 HELP\n"
            "e-mailer: Failed to connect to SMTP server\n221 Bye\n")))
        self.assertEqual(server.logins(), [])
        self.assertEqual(server.messages(), [])

    # --- a refused connection ------------------------------------------------------------

    # Winsock's 10061 with the system's text for it (Wine's; Windows says "No connection
    # could be made because the target machine actively refused it."), then the dialog's
    # text, whose second line is empty: no reply was read.
    def test_refused_connection_shows_10061_then_the_connect_failure(self):
        self.wine_prefix().reg_add({"Server": "127.0.0.1", "Port": str(self.refusing_port())})
        self.assertEqual(self.run_mailer("Backup done", "Body"),
                         (1, "", "e-mailer: Connection refused.\n"
                                 "e-mailer: Failed to connect to SMTP server\n\n"))

    # --- each AuthMethod ------------------------------------------------------------------

    def expect_login(self, method, offered, login, user="user", options=()):
        """A send with AuthMethod method (a REG_DWORD) to a server offering the mechanisms
        offered, which records login."""
        server = self.server("--auth", *offered, *options)
        settings = self.settings_for(server)
        settings.update({"AuthMethod": method, "AuthUser": user, "AuthPassword": "secret"})
        self.wine_prefix().reg_add(settings)
        self.assertEqual(self.run_mailer("Backup done", "Body"), (0, "", ""))
        self.assertEqual(server.logins(), [login])
        self.assertEqual(self.only_message(server)[0].get_content(), "Body\n")

    def test_auth_method_1_cram_md5(self):
        self.expect_login(1, ["CRAM-MD5"], "CRAM-MD5 user")

    def test_auth_method_2_login(self):
        self.expect_login(2, ["LOGIN"], "LOGIN user")

    def test_auth_method_3_plain_dialogue(self):
        self.expect_login(3, ["PLAIN"], "PLAIN user")

    def test_auth_method_5_picks_cram_md5_over_login_and_plain(self):
        self.expect_login(5, ["LOGIN", "PLAIN", "CRAM-MD5"], "CRAM-MD5 user")

    def test_auth_method_6_plain_as_rfc_4616(self):
        self.expect_login(6, ["BUILTIN-PLAIN"], "PLAIN user")

    def test_auth_method_7_oauthbearer(self):
        self.expect_login(7, ["OAUTHBEARER", "XOAUTH2"], "OAUTHBEARER user")

    def test_auth_method_7_xoauth2_where_only_it_is_offered(self):
        self.expect_login(7, ["XOAUTH2"], "XOAUTH2 user")

    # --- OAuth 2.0 with the program's own tokens ------------------------------------------

    def identity_provider(self):
        """tests/support/identity_provider.py on a free port with a self-signed certificate
        for 127.0.0.1, access tokens living 30 seconds (under the minute a run wants left,
        so every run renews), and its directory."""
        directory = os.path.join(self.output, "provider")
        os.makedirs(directory)
        cert, key = (os.path.join(directory, name) for name in ("cert.pem", "key.pem"))
        subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                        "ec_paramgen_curve:prime256v1", "-nodes", "-subj", "/CN=127.0.0.1",
                        # Wine's certificate check matches DNS names only: the address
                        # is named both ways.
                        "-addext", "subjectAltName=IP:127.0.0.1,DNS:127.0.0.1", "-days", "2",
                        "-keyout", key, "-out", cert], check=True, capture_output=True,
                       timeout=WAIT)
        process = subprocess.Popen(["/usr/bin/python3", IDENTITY_PROVIDER, "0", directory, cert,
                                    key, "--client-id", "e-mailer-test", "--access-lifetime",
                                    "30"], stdout=subprocess.PIPE, text=True)
        self.addCleanup(lambda: (process.terminate(), process.wait(timeout=WAIT),
                                 process.stdout.close()))
        with selectors.DefaultSelector() as selector:
            selector.register(process.stdout, selectors.EVENT_READ)
            line = process.stdout.readline() if selector.select(WAIT) else ""
        self.assertTrue(line.startswith("listening on 127.0.0.1:"), line)
        return "https://127.0.0.1:%s/" % line.rsplit(":", 1)[1].strip(), directory, cert

    # The sign-in trusts the provider through OAuthCAFile alone and stores the tokens in
    # the registry, encrypted with DPAPI; each later run renews the access token with the
    # rotating refresh token and delivers.
    def test_oauth_sign_in_then_runs_renew_through_the_registry_store(self):
        url, directory, cert = self.identity_provider()
        server = self.server("--auth", "XOAUTH2", "--oauth-tokens",
                             os.path.join(directory, "access_tokens"))
        shutil.copy(cert, os.path.join(self.wine_prefix().path, "drive_c", "ca.pem"))
        settings = self.settings_for(server)
        settings.update({"AuthMethod": 7, "AuthUser": "user", "OAuthClientID": "e-mailer-test",
                         "OAuthTokenURL": url + "token", "OAuthDeviceURL": url + "devicecode",
                         "OAuthCAFile": "C:\\ca.pem"})
        # Another CA in OAuthCAFile: the provider is refused before the request's body goes.
        other, _ = self.certificate()
        shutil.copy(other, os.path.join(self.wine_prefix().path, "drive_c", "other.pem"))
        self.wine_prefix().reg_add(dict(settings, OAuthCAFile="C:\\other.pem"))
        status, _, err = self.run_mailer("--authorize")
        self.assertEqual(status, 1)
        self.assertIn("devicecode: the server's certificate is not trusted: ", err)
        self.wine_prefix().reg_add(settings)
        status, out, err = self.run_mailer("--authorize")
        self.assertEqual((status, err), (0, ""), out)
        self.assertIn("/device in a browser and enter the code WDJB-MJHT\n", out)
        self.assertEqual(self.run_mailer("First", "Body"), (0, "", ""))
        self.assertEqual(self.run_mailer("Second", "Body"), (0, "", ""))
        self.assertEqual(server.logins(), ["XOAUTH2 user", "XOAUTH2 user"])
        with open(os.path.join(directory, "requests")) as f:
            # The refused attempt counts: its request line goes before the check, its body
            # (the client id) only after it.
            self.assertEqual(f.read().split(), ["devicecode", "devicecode",
                                                "urn:ietf:params:oauth:grant-type:device_code",
                                                "refresh_token", "refresh_token"])
        status, query, _ = self.finish(self.wine_prefix().start(
            "reg", "query", SETTINGS_KEY, "/v", "oauth-tokens.json"))
        self.assertEqual(status, 0)
        self.assertIn("REG_BINARY", query)
        self.assertNotIn("refresh_token", query)

    # --- accounts ------------------------------------------------------------------------

    # An account is the registry key Accounts\NAME under the settings key: --account NAME
    # sends through its server with its own credentials, the values it leaves out taken
    # from the key above; a name that is no account ends the run with status 64.
    def test_account_subkey_in_the_registry_sends_through_its_server(self):
        server = self.server("--auth", "LOGIN", "--user", "work", "--password", "work-secret")
        prefix = self.wine_prefix()
        prefix.reg_add(dict(self.settings_for(server), Port=self.refusing_port()))
        prefix.reg_add({"Server": "localhost", "Port": server.port, "AuthMethod": "2",
                        "AuthUser": "work", "AuthPassword": "work-secret"},
                       key=SETTINGS_KEY + "\\Accounts\\Work")
        self.assertEqual(self.run_mailer("--account", "work", "Through work", "Body"), (0, "", ""))
        message, envelope = self.only_message(server)
        self.assertEqual(message["From"], "Backup job <backup@example.com>")
        self.assertEqual(server.logins(), ["LOGIN work"])
        status, out, err = self.run_mailer("--account", "home", "Subject", "Body")
        self.assertEqual((status, out), (64, ""), err)
        self.assertTrue(err.startswith('e-mailer: no account "home" in the settings; '), err)
        self.assertIn("Work", err)

    def test_settings_of_the_machine_key_send_and_check_names_that_key(self):
        server = self.server()
        prefix = self.wine_prefix()
        prefix.reg_add(self.settings_for(server), key=MACHINE_SETTINGS_KEY)
        self.assertEqual(self.run_mailer("From the machine", "Body"), (0, "", ""))
        self.assertEqual(self.only_message(server)[0]["Subject"], "From the machine")
        _, out, err = self.run_mailer("--check")
        self.assertRegex(out.splitlines()[0],
                         r"^ok +settings +HKEY_LOCAL_MACHINE\\software\\Zelkor\\Kestrum\\SMTP, ", (out, err))

    # --- AuthPasswordCommand through cmd -----------------------------------------------------

    def test_password_command_runs_through_cmd(self):
        server = self.server("--auth", "BUILTIN-PLAIN")
        with open(os.path.join(self.wine_prefix().path, "drive_c", "password.txt"), "w") as f:
            f.write("secret\r\nsecond line\r\n")
        settings = self.settings_for(server)
        settings.update({"AuthMethod": 6, "AuthUser": "user", "AuthPassword": "not this one",
                         "AuthPasswordCommand": "type C:\\password.txt"})
        self.wine_prefix().reg_add(settings)
        self.assertEqual(self.run_mailer("Backup done", "Body"), (0, "", ""))
        self.assertEqual(server.logins(), ["PLAIN user"])

    # The command's own standard error comes through, then the error naming the command
    # and why; nothing reaches the server.
    def test_password_command_that_fails_ends_the_run_before_anything_is_sent(self):
        server = self.server("--auth", "BUILTIN-PLAIN")
        # The redirection first: Wine's cmd keeps the space before a trailing one in the
        # text and cannot redirect a group "(echo ...)1>&2" at all.
        command = ">&2 echo keyring is locked& exit 3"
        settings = self.settings_for(server)
        settings.update({"AuthMethod": 6, "AuthUser": "user", "AuthPasswordCommand": command})
        self.wine_prefix().reg_add(settings)
        self.assertEqual(self.run_mailer("Backup done", "Body"),
                         (1, "", "keyring is locked\n"
                                 "e-mailer: Failed to get the password from AuthPasswordCommand: "
                                 "the command exited with status 3\n"
                                 "e-mailer: Failed to connect to SMTP server\n\n"))
        self.assertFalse(os.path.exists(os.path.join(server.directory, "transcript")))

    # --- the engine through real proxies ------------------------------------------------

    def proxy(self, proxy):
        """proxy (of tests/support/proxies.py), stopped when the test ends."""
        self.addCleanup(proxy.stop)
        return proxy

    def send_through(self, proxy_type, proxy, *pair):
        """proxy_send.exe through proxy (m_nProxyType proxy_type) to a fresh SMTP server:
        its exit status and output, and the server."""
        server = self.server()
        done = self.finish(self.wine_prefix().start(PROXY_SEND, str(server.port),
                                                    str(proxy_type), str(proxy.port), *pair))
        return done, server

    def expect_sent_through(self, proxy_type, proxy, *pair):
        done, server = self.send_through(proxy_type, proxy, *pair)
        self.assertEqual(done, (0, "", ""))
        message, envelope = self.only_message(server)
        self.assertEqual(envelope, "MAIL FROM:<backup@example.com>\nRCPT TO:<admin@example.com>\n")
        self.assertEqual(message["Subject"], "Through the proxy")
        self.assertEqual(message.get_content(), "Sent through the proxy.\n")

    def test_engine_sends_through_socks4_via_dante(self):
        self.expect_sent_through(1, self.proxy(proxies.dante(self.output)))

    def test_engine_sends_through_socks5_via_microsocks_with_user_and_password(self):
        self.expect_sent_through(2, self.proxy(proxies.microsocks("mailer", "s3cret")),
                                 "mailer", "s3cret")

    # microsocks refuses the pair with status 2: ERROR_ACCESS_DENIED (5) as an HRESULT
    # of facility Win32, with the system's text for it (Wine's; Windows says "Access is
    # denied."); the server sees nothing.
    def test_engine_socks5_wrong_password_fails_with_its_number_and_text(self):
        proxy = self.proxy(proxies.microsocks("mailer", "s3cret"))
        done, server = self.send_through(2, proxy, "mailer", "wrong")
        self.assertEqual(done, (1, "0x80070005 Access denied.\n", ""))
        self.assertEqual(server.messages(), [])

    def test_engine_sends_through_http_connect_via_tinyproxy_with_basic_authorisation(self):
        proxy = self.proxy(proxies.tinyproxy(self.output, "mailer", "s3cret"))
        self.expect_sent_through(3, proxy, "mailer", "s3cret")

    # --- NTLM through Wine's SSPI -----------------------------------------------------------

    def ntlm_users(self):
        path = os.path.join(self.output, "ntlm-users")
        with open(path, "w") as f:
            f.write("DOM:user:secret\n")
        return ["--ntlm-users", path]

    @unittest.skipIf(shutil.which("ntlm_auth") is None, NO_NTLM_AUTH)
    def test_auth_method_4_ntlm_through_the_security_module(self):
        self.expect_login(4, ["NTLM"], "NTLM DOM\\user", "DOM\\user", self.ntlm_users())

    @unittest.skipIf(shutil.which("ntlm_auth") is None, NO_NTLM_AUTH)
    def test_auth_method_5_picks_ntlm_first(self):
        self.expect_login(5, ["LOGIN", "PLAIN", "CRAM-MD5", "NTLM"], "NTLM DOM\\user", "DOM\\user",
                          self.ntlm_users())

    # --- the windows -------------------------------------------------------------------------

    def window(self, shot, mailer, other_than=()):
        """The visible window captioned with the program's name (not one of other_than),
        once mailer has shown and drawn it; its screenshot is kept as shot.png."""
        window = self.xvfb.wait_for_window("e-mailer", WAIT, other_than, mailer)
        if window is None:
            self.fail("no %s; %s" % (shot, "the program still runs" if mailer.poll() is None
                                     else "the program ended: %r" % (self.finish(mailer),)))
        path = os.path.join(self.output, shot + ".png")
        self.assertTrue(self.xvfb.screenshot(window, path, WAIT), "%s was never drawn" % shot)
        return window

    def test_show_ui_shows_the_result_dialog_which_closes_itself(self):
        self.use_display()
        server = self.server()
        self.wine_prefix().reg_add(self.settings_for(server))
        mailer = self.start("Backup done", "Body", "showui")
        self.window("result-dialog", mailer)
        shown = time.monotonic()
        self.assertEqual(self.finish(mailer), (0, "", ""))
        # Found some time after it was shown, so a little under ten seconds may be left.
        self.assertGreaterEqual(time.monotonic() - shown, AUTO_CLOSE_SECONDS - 2)
        self.assertEqual(len(server.messages()), 1)

    def test_refused_connection_shows_the_message_box_then_the_dialog_each_closing_itself(self):
        self.use_display()
        self.wine_prefix().reg_add({"Server": "127.0.0.1", "Port": str(self.refusing_port())})
        mailer = self.start("Backup done", "Body")
        # Both are captioned with the program's name.
        box = self.window("message-box", mailer)
        shown = time.monotonic()
        self.assertEqual(self.xvfb.visible_windows("e-mailer", WAIT), [box], "both windows at once")
        dialog = self.window("result-dialog", mailer, other_than=[box])
        self.assertGreaterEqual(time.monotonic() - shown, AUTO_CLOSE_SECONDS - 2,
                                "the message box did not wait")
        self.assertNotIn(box, self.xvfb.visible_windows("e-mailer", WAIT))
        shown = time.monotonic()
        self.assertEqual(self.finish(mailer), (1, "", ""))
        self.assertGreaterEqual(time.monotonic() - shown, AUTO_CLOSE_SECONDS - 2)
        self.assertNotEqual(dialog, box)


if __name__ == "__main__":
    unittest.main()
