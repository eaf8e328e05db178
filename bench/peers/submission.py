"""Postfix as the bench's submission server: STARTTLS required and SASL PLAIN through
Cyrus SASL (RFC 3207, RFC 4954), PIPELINING offered as Postfix always does, and every
message accepted then discarded, so no delivery work follows the end of data.

An instance of its own ("postfix -c DIR start"), its configuration, queue and account
in a directory of its own, listening on one port of 127.0.0.1; never port 25, never the
system's mail configuration. Postfix's master must be started by the super-user.
"""

import os
import shutil
import subprocess
import tempfile

USER, PASSWORD, REALM = "bench", "bench-secret", "bench.test"

# Only what the instance needs, each service outside a chroot.
SERVICES = """\
cleanup   unix  n - n - 0 cleanup
qmgr      unix  n - n 300 1 qmgr
tlsmgr    unix  - - n 1000? 1 tlsmgr
rewrite   unix  - - n - - trivial-rewrite
bounce    unix  - - n - 0 bounce
defer     unix  - - n - 0 bounce
trace     unix  - - n - 0 bounce
verify    unix  - - n - 1 verify
flush     unix  n - n 1000? 0 flush
proxymap  unix  - - n - - proxymap
error     unix  - - n - - error
retry     unix  - - n - - error
discard   unix  - - n - - discard
anvil     unix  - - n - 1 anvil
scache    unix  - - n - 1 scache
postlog   unix-dgram n - n - 1 postlogd
"""


def unavailable():
    """Why the server cannot run here, or "" when it can."""
    if os.geteuid() != 0:
        return "Postfix's master must be started by the super-user"
    if not (os.path.exists("/usr/sbin/postfix") and os.path.exists("/usr/sbin/saslpasswd2")):
        return "postfix or sasl2-bin is not installed"
    return ""


class Submission:
    def __init__(self, host, port, cert, key, cpus):
        # The daemons run as the postfix user: they must reach the directory.
        self.dir = tempfile.mkdtemp(prefix="emailer-peers-postfix-")
        os.chmod(self.dir, 0o755)
        self.conf = os.path.join(self.dir, "conf")
        self.host, self.port, self.cpus, self.running = host, port, cpus, False
        os.makedirs(os.path.join(self.conf, "sasl"))
        os.mkdir(os.path.join(self.dir, "queue"))
        shutil.copy(cert, os.path.join(self.dir, "cert.pem"))
        shutil.copy(key, os.path.join(self.dir, "key.pem"))
        self.write_configuration()
        self.write_account()

    def write_configuration(self):
        at = self.dir
        with open(os.path.join(self.conf, "main.cf"), "w") as f:
            f.write(f"""compatibility_level = 3.7
queue_directory = {at}/queue
data_directory = {at}/data
meta_directory = /etc/postfix
command_directory = /usr/sbin
daemon_directory = /usr/lib/postfix/sbin
shlib_directory = /usr/lib/postfix
mail_owner = postfix
setgid_group = postdrop
myhostname = {REALM}
mydestination =
relay_domains =
local_recipient_maps =
alias_maps =
alias_database =
notify_classes =
biff = no
inet_interfaces = loopback-only
inet_protocols = ipv4
mynetworks = 127.0.0.0/8
default_transport = discard:bench
relay_transport = discard:bench
smtp_dns_support_level = disabled
smtpd_peername_lookup = no
maillog_file = {at}/maillog
maillog_file_prefixes = {at}
smtpd_tls_security_level = encrypt
smtpd_tls_cert_file = {at}/cert.pem
smtpd_tls_key_file = {at}/key.pem
smtpd_tls_session_cache_database =
smtpd_sasl_auth_enable = yes
smtpd_sasl_type = cyrus
smtpd_sasl_path = smtpd
smtpd_sasl_local_domain = {REALM}
smtpd_relay_restrictions = permit_sasl_authenticated, reject
""")
        with open(os.path.join(self.conf, "master.cf"), "w") as f:
            f.write(f"{self.host}:{self.port} inet n - n - - smtpd\n{SERVICES}")

    def write_account(self):
        # Debian's smtpd reads its SASL configuration from $config_directory/sasl.
        database = os.path.join(self.conf, "sasl", "sasldb2")
        with open(os.path.join(self.conf, "sasl", "smtpd.conf"), "w") as f:
            f.write(f"pwcheck_method: auxprop\nauxprop_plugin: sasldb\nmech_list: PLAIN\nsasldb_path: {database}\n")
        subprocess.run(["/usr/sbin/saslpasswd2", "-p", "-c", "-f", database, "-u", REALM, USER],
                       input=PASSWORD + "\n", text=True, check=True)
        os.chmod(database, 0o644)

    def start(self):
        """Returns once the master has bound its listener; exits the bench when it
        cannot, with Postfix's output and log."""
        started = self.postfix("start")
        if started.returncode != 0:
            log = self.log()
            self.remove()
            raise SystemExit(f"peers: postfix did not start:\n{started.stdout}{log}")
        self.running = True

    def stop(self):
        if self.running:
            self.postfix("stop")
            self.running = False
        self.remove()

    def postfix(self, command):
        # The master and the daemons it starts inherit the servers' CPUs.
        return subprocess.run(["/usr/sbin/postfix", "-c", self.conf, command], text=True,
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                              preexec_fn=lambda: os.sched_setaffinity(0, self.cpus))

    def log(self):
        try:
            with open(os.path.join(self.dir, "maillog")) as f:
                return f.read()
        except OSError:
            return ""

    def remove(self):
        shutil.rmtree(self.dir, ignore_errors=True)
