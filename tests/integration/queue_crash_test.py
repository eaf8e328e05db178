#!/usr/bin/python3
"""The queue under SIGKILL: strace kills the sendmail face at a random system call of an
enqueue (-odq, or a try with the server down) or of a flush (-q), a few hundred times,
and each run is checked:

- no entry half-written: every file named *.entry in the queue folder is a whole entry
  (its envelope lines, its Size matching the bytes after them, the caller's message
  exactly), mode 0600, and nothing was set aside as corrupt or given up;
- no entry lost: a message whose enqueue exited 0, or that was in the queue before a
  flush, is delivered once the queue has been flushed again;
- nothing delivered twice outside the window between the end of data and its 250
  (RFC 1047): a message that the server received more than once must, each time but the
  last, have been received on a connection that went no further, because the server
  dropped it before its 250 (a hook of the test's server does so at random) or the
  client was killed before it could act on that 250.

The kill point is drawn from a trace of an unkilled run of the same kind: one event of
the file, descriptor and network system calls from the run's first mkdir on (before it,
the program only loads its libraries), killed as the Nth call of its name
(strace -e inject=NAME:signal=SIGKILL:when=N). The server is the test's own: it does
not offer PIPELINING, so the client waits for each reply, and a command that follows a
250 proves that the client had it.

With --system the sendmail face is the set-group-ID /usr/sbin/sendmail of the system's
settings (/etc/e-mailer/SMTP.reg) and spool (/var/spool/e-mailer), run as nobody in a
mount namespace that e-mailer-mta's postinst has set up (system_queue_crash_test.sh);
its entries are the group's (mode 0640). nobody's sendmail only hands the message in
(a try with the server down queues it too); the flushes are the keeper's, as the user
e-mailer: PROGRAM --flush, and in half of the killed flushes the timer's PROGRAM
--flush-due.

Usage: queue_crash_test.py [--system] PROGRAM
Environment: QUEUE_CRASH_SEED replays a run (its seed is printed first);
QUEUE_CRASH_KILLS is the number of kills (default 300, half of them in flushes).
Without --system, as root, the program runs as nobody, so that its queue is the test's
own folder and never /var/spool/e-mailer.
"""
import os
import pwd
import random
import re
import shutil
import socket
import socketserver
import stat
import subprocess
import sys
import tempfile
import threading
import time

TRACED = "%file,%desc,%network"
# Seconds for the kills of enqueues and of flushes; past them the kills stop (on a
# loaded machine), the checks still run.
TIME_LIMITS = {"enqueue": 60, "flush": 90}
# Seconds for one run of the program; one that takes longer fails the test at once.
RUN_SECONDS = 60
ENTRY_FIRST_LINE = b"e-mailer queue entry 1"
SYSTEM_SPOOL = "/var/spool/e-mailer"
SYSTEM_SETTINGS = "/etc/e-mailer/SMTP.reg"


class Delivery:
    def __init__(self, token, connection):
        self.token, self.connection = token, connection
        self.dropped = False  # the server closed the connection instead of its 250
        self.acted_on = False  # the client sent a command after that 250


class RecordingServer(socketserver.ThreadingTCPServer):
    """An SMTP server that records each message it receives (its token and text) and,
    with probability drop_chance, closes the connection after the end of data without
    its 250."""

    daemon_threads = True

    def __init__(self, seed):
        super().__init__(("127.0.0.1", 0), SessionHandler)
        self.lock = threading.Lock()
        self.deliveries = []
        self.texts = {}
        self.random = random.Random(seed)
        self.drop_chance = 0.0
        self.connections = 0
        self.open_connections = 0

    def wait_idle(self):
        """Waits, a bounded time, until no connection is open: what a killed client
        sent is then recorded."""
        for _ in range(100):
            with self.lock:
                if self.open_connections == 0:
                    return
            time.sleep(0.05)

    @property
    def port(self):
        return self.server_address[1]

    def record(self, connection, text):
        token = re.search(rb"^X-Crash-Token: (\d+)\r$", text, re.M)
        delivery = Delivery(int(token.group(1)) if token else -1, connection)
        with self.lock:
            self.deliveries.append(delivery)
            self.texts.setdefault(delivery.token, []).append(text)
            delivery.dropped = self.random.random() < self.drop_chance
        return delivery


class SessionHandler(socketserver.StreamRequestHandler):
    def reply(self, line):
        self.wfile.write(line + b"\r\n")
        self.wfile.flush()

    def handle(self):
        with self.server.lock:
            self.server.connections += 1
            self.server.open_connections += 1
            connection = self.server.connections
        try:
            self.converse(connection)
        except OSError:
            pass  # the client was killed
        finally:
            with self.server.lock:
                self.server.open_connections -= 1

    def converse(self, connection):
        self.reply(b"220 test.server ESMTP")
        last = None
        while True:
            line = self.rfile.readline()
            if not line:
                return
            if last is not None:
                last.acted_on = True
                last = None
            verb = line[:4].upper()
            if verb == b"EHLO":
                self.reply(b"250-test.server\r\n250 8BITMIME")
            elif verb == b"DATA":
                self.reply(b"354 go ahead")
                text = self.read_text()
                if text is None:
                    return  # no end of data: nothing was delivered
                delivery = self.server.record(connection, text)
                if delivery.dropped:
                    return
                self.reply(b"250 2.0.0 OK")
                last = delivery
            elif verb == b"QUIT":
                self.reply(b"221 bye")
                return
            else:
                self.reply(b"250 OK")

    def read_text(self):
        """The message text up to the end of data, unstuffed; None when the connection
        ends before it."""
        lines = []
        while True:
            line = self.rfile.readline()
            if not line:
                return None
            if line == b".\r\n":
                return b"".join(lines)
            lines.append(line[1:] if line.startswith(b".") else line)


class Failure(Exception):
    pass


class CrashTest:
    def __init__(self, program, seed, kills, system):
        self.seed, self.kills, self.system = seed, kills, system
        self.random = random.Random(seed)
        self.work = tempfile.mkdtemp(prefix="queue-crash-")
        os.chmod(self.work, 0o755)
        self.user = {}
        if os.geteuid() == 0:
            self.user = {"user": 65534, "group": 65534, "extra_groups": []}
        self.trace_dir = self.private_dir("traces")
        self.mailer = program
        if system:
            self.queue, self.sendmail = SYSTEM_SPOOL, "/usr/sbin/sendmail"
        else:
            self.state = self.private_dir("state")
            self.queue = os.path.join(self.state, "e-mailer", "queue")
            self.sendmail = os.path.join(self.work, "e-mailer-sendmail")
            os.symlink(os.path.abspath(program), self.sendmail)
        self.server = RecordingServer(self.random.random())
        threading.Thread(target=self.server.serve_forever, daemon=True).start()
        # A bound socket that never listens: connecting to it is refused.
        self.closed_port = socket.socket()
        self.closed_port.bind(("127.0.0.1", 0))
        self.config_up = self.settings("up", self.server.port)
        self.config_down = self.settings("down", self.closed_port.getsockname()[1])
        self.messages = {}  # token -> the bytes given to the program
        self.must_arrive = set()  # enqueues that exited 0 (those killed may or may not arrive)
        self.traces = {}
        self.tried = self.killed = 0
        self.duplicates = (0, 0)  # after a drop before the 250, after a kill

    def private_dir(self, name):
        path = os.path.join(self.work, name)
        os.mkdir(path, 0o700)
        if self.user:
            os.chown(path, self.user["user"], self.user["group"])
        return path

    def settings(self, name, port):
        """The user's settings folder of a run (XDG_CONFIG_HOME) or, with --system, the
        text of the system's settings file."""
        text = ('Windows Registry Editor Version 5.00\r\n\r\n'
                '[%s\\software\\Zelkor\\Kestrum\\SMTP]\r\n'
                '"Server"="127.0.0.1"\r\n"Port"="%d"\r\n"Timeout"=dword:0000000a\r\n'
                '"SenderEMail"="crash@example.org"\r\n' %
                ("HKEY_LOCAL_MACHINE" if self.system else "HKEY_CURRENT_USER", port))
        if self.system:
            return text
        key = os.path.join(self.work, name, "Zelkor", "Kestrum")
        os.makedirs(key)
        with open(os.path.join(key, "SMTP.reg"), "w") as f:
            f.write(text)
        return os.path.join(self.work, name)

    # Running the program.

    def command(self, kind):
        """The arguments and settings of a run: an enqueue without trying, an enqueue
        after a refused connection, a flush, or the system's timer's flush."""
        if kind == "timer":
            return ["--flush-due"], self.config_up
        if kind == "queue":
            return ["-odq", "-i", "to@example.org"], self.config_up
        if kind == "down":
            return ["-i", "to@example.org"], self.config_down
        return ["-q"], self.config_up

    def run(self, kind, message=b"", strace=()):
        arguments, config = self.command(kind)
        environment = {"PATH": "/usr/bin:/bin", "HOME": self.work, "LANG": "C.UTF-8"}
        user = self.user
        if self.system:
            # Rewritten in place: the file keeps the owner and mode the postinst gave it.
            with open(SYSTEM_SETTINGS, "w") as f:
                f.write(config)
            # An ordinary user's sendmail only hands the message in (issue 46): the
            # flushes are the keeper's, as the user e-mailer.
            name = "e-mailer" if kind in ("timer", "flush") else "nobody"
            entry = pwd.getpwnam(name)
            user = {"user": entry.pw_uid, "group": entry.pw_gid, "extra_groups": []}
            if strace:
                # A traced program keeps its set-group-ID only under a tracer that may
                # trace it anyway: strace stays root and starts it as that user.
                strace, user = [strace[0], "-u", name, *strace[1:]], {}
        else:
            environment.update(XDG_CONFIG_HOME=config, XDG_STATE_HOME=self.state)
        for name in ("ASAN_OPTIONS", "UBSAN_OPTIONS"):
            if name in os.environ:
                environment[name] = os.environ[name]
        if strace:
            # LeakSanitizer cannot run in a traced process (in a sanitizer build).
            environment["ASAN_OPTIONS"] = environment.get("ASAN_OPTIONS", "") + ":detect_leaks=0"
        program = self.mailer if kind == "timer" or (self.system and kind == "flush") else self.sendmail
        if self.system and kind == "flush":
            arguments = ["--flush"]
        try:
            return subprocess.run([*strace, program, *arguments], input=message,
                                  capture_output=True, env=environment, timeout=RUN_SECONDS, **user)
        except subprocess.TimeoutExpired as timeout:
            raise Failure("a %s run did not end within %d s: %s" %
                          (kind, RUN_SECONDS, (timeout.stderr or b"").decode(errors="replace")))

    def trace(self, kind, message):
        """The traced system calls of an unkilled run as (name, ordinal), from its first
        mkdir on, which makes sure of the folders: what comes before (loading the
        libraries) writes nothing. (The program is not dumpable, so strace cannot show
        the paths it passes.)"""
        path = os.path.join(self.trace_dir, kind)
        result = self.run(kind, message, ["strace", "-f", "-qq", "-o", path, "-e", "trace=" + TRACED])
        self.expect_success(kind, result)
        events, counts = [], {}
        with open(path) as f:
            for line in f:
                match = re.match(r"(?:\d+ +)?(\w+)\(", line)
                if match:
                    name = match.group(1)
                    counts[name] = counts.get(name, 0) + 1
                    if events or name == "mkdir":
                        events.append((name, counts[name]))
        os.remove(path)
        if not events:
            raise Failure("a %s run made no mkdir call" % kind)
        return events

    def killed_run(self, kind, message=b""):
        if kind not in self.traces:
            raise Failure("no trace of a %s run" % kind)
        name, ordinal = self.random.choice(self.traces[kind])
        strace = ["strace", "-f", "-qq", "-o", "/dev/null", "-e", "trace=" + name,
                  "-e", "inject=%s:signal=SIGKILL:when=%d" % (name, ordinal)]
        result = self.run(kind, message, strace)
        self.tried += 1
        if result.returncode == -9:
            self.killed += 1
            return None
        return result

    def expect_success(self, kind, result):
        if result.returncode != 0:
            raise Failure("%s run: exit status %d: %s" % (kind, result.returncode, result.stderr.decode(errors="replace")))

    # Messages.

    def new_message(self):
        token = len(self.messages) + 1
        size = self.random.choice([200, 5000, 150000])
        words = []
        while sum(len(w) + 1 for w in words) < size:
            words.append("".join(self.random.choices("abcdefghij", k=self.random.randint(1, 60))))
        body = "".join(w + ("\n" if i % 9 == 8 else " ") for i, w in enumerate(words)).rstrip() + "\n"
        message = ("Subject: crash %d\nX-Crash-Token: %d\n\n" % (token, token) + body).encode()
        self.messages[token] = message
        return token, message

    def enqueue(self, kind="queue"):
        token, message = self.new_message()
        result = self.run(kind, message)
        self.expect_success(kind, result)
        self.must_arrive.add(token)
        return token

    # Checks.

    def check_queue(self, when):
        """Every entry whole and the caller's message; no corrupt or failed entry."""
        if not os.path.isdir(self.queue):
            return
        for name in os.listdir(self.queue):
            path = os.path.join(self.queue, name)
            if name in ("failed", "corrupt"):
                if os.listdir(path):
                    raise Failure("%s: %s holds %s" % (when, name, os.listdir(path)))
            elif name.endswith(".entry"):
                self.check_entry(path, when)
            elif not (name.endswith(".state") or name.startswith(".tmp-") or
                      name in (".lock", ".flush-requested")):
                raise Failure("%s: unexpected file %s in the queue" % (when, name))

    def check_entry(self, path, when):
        mode = stat.S_IMODE(os.stat(path).st_mode)
        with open(path, "rb") as f:
            data = f.read()
        envelope, _, message = data.partition(b"\n\n")
        lines = envelope.split(b"\n")
        fields = dict(line.partition(b":")[::2] for line in lines[1:])
        token = re.search(rb"^X-Crash-Token: (\d+)$", message, re.M)
        if (lines[0] != ENTRY_FIRST_LINE or mode != (0o640 if self.system else 0o600) or
                fields.get(b"Size", b"").strip() != str(len(message)).encode() or
                token is None or self.messages.get(int(token.group(1))) != message):
            raise Failure("%s: %s is not a whole entry of a given message (mode %o):\n%r" %
                          (when, path, mode, data[:600]))

    def entries(self):
        if not os.path.isdir(self.queue):
            return []
        return [n for n in os.listdir(self.queue) if n.endswith(".entry")]

    def make_all_due(self):
        """Clears the back-off of every entry (their state files), so a flush tries them."""
        for name in os.listdir(self.queue) if os.path.isdir(self.queue) else []:
            if name.endswith(".state"):
                os.remove(os.path.join(self.queue, name))

    def flush_all(self, when):
        """A flush without kills or drops, of every entry: it must leave the queue
        empty."""
        self.check_queue(when)
        self.make_all_due()
        self.server.drop_chance = 0.0
        self.expect_success("flush", self.run("flush"))
        if self.entries():
            raise Failure("%s: the flush left %s" % (when, self.entries()))
        self.check_deliveries(when)

    def check_deliveries(self, when):
        self.server.wait_idle()
        by_token = {}
        for delivery in self.server.deliveries:
            by_token.setdefault(delivery.token, []).append(delivery)
        for token in self.must_arrive:
            if token not in by_token:
                raise Failure("%s: message %d was lost" % (when, token))
        for token, deliveries in by_token.items():
            if token not in self.messages:
                raise Failure("%s: the server received a message of no test: %r" % (when, self.server.texts[token][0][:300]))
            for delivery in deliveries[:-1]:
                if delivery.acted_on:
                    raise Failure("%s: message %d was sent again after the client had its 250 "
                                  "(connection %d)" % (when, token, delivery.connection))
            for text in self.server.texts[token]:
                if text.partition(b"\r\n\r\n")[2] != self.messages[token].partition(b"\n\n")[2].replace(b"\n", b"\r\n"):
                    raise Failure("%s: message %d arrived with another body" % (when, token))
        earlier = [d for deliveries in by_token.values() for d in deliveries[:-1]]
        self.duplicates = (len([d for d in earlier if d.dropped]), len([d for d in earlier if not d.dropped]))

    # The two halves.

    def enqueue_kills(self, count):
        deadline = time.monotonic() + TIME_LIMITS["enqueue"]
        for kind in ("queue", "down"):
            token, message = self.new_message()
            self.traces[kind] = self.trace(kind, message)
            self.must_arrive.add(token)
        for number in range(count):
            if time.monotonic() > deadline:
                break
            kind = self.random.choice(["queue", "down"])
            token, message = self.new_message()
            result = self.killed_run(kind, message)
            if result is not None:
                self.expect_success(kind, result)
                self.must_arrive.add(token)
            self.check_queue("enqueue %d (%s) killed" % (token, kind))
            if number % 10 == 9:
                self.flush_all("flush after enqueue %d" % token)
        self.flush_all("flush after the enqueue kills")

    def flush_kills(self, count):
        """Killed flushes of a queue that new entries join; entries left by a kill stay
        for the next, and after every fourth kill a whole flush empties the queue."""
        deadline = time.monotonic() + TIME_LIMITS["flush"]
        for _ in range(3):
            self.enqueue()
        flushes = ["flush", "timer"] if self.system else ["flush"]
        for kind in flushes:
            self.traces[kind] = self.trace(kind, b"")
        for number in range(count):
            if time.monotonic() > deadline:
                break
            for _ in range(self.random.randint(1, 2)):
                self.enqueue()
            self.make_all_due()
            self.server.drop_chance = 0.25
            result = self.killed_run(self.random.choice(flushes))
            if result is not None and result.returncode not in (0, 75):
                raise Failure("flush: exit status %d: %s" % (result.returncode, result.stderr.decode(errors="replace")))
            self.check_queue("flush kill %d" % (number + 1))
            if number % 4 == 3:
                self.flush_all("flush after flush kill %d" % (number + 1))
        self.flush_all("flush after the flush kills")

    def run_all(self):
        self.enqueue_kills(self.kills // 2)
        self.flush_kills(self.kills - self.kills // 2)
        self.check_deliveries("the end")
        lost = len([t for t in self.must_arrive if not any(d.token == t for d in self.server.deliveries)])
        print("kills tried %d (%d killed), messages %d, entries lost %d, duplicates %d, each in "
              "the window between the end of data and its 250 (%d after the server dropped the "
              "connection there, %d after the client was killed there)" %
              (self.tried, self.killed, len(self.messages), lost, sum(self.duplicates), *self.duplicates))

    def close(self):
        self.server.shutdown()
        self.closed_port.close()
        shutil.rmtree(self.work, ignore_errors=True)


def main():
    seed = int(os.environ.get("QUEUE_CRASH_SEED") or random.randrange(1 << 32))
    kills = int(os.environ.get("QUEUE_CRASH_KILLS") or 300)
    print("seed %d (QUEUE_CRASH_SEED=%d replays this run)" % (seed, seed), flush=True)
    system = sys.argv[1:2] == ["--system"]
    test = CrashTest(sys.argv[-1], seed, kills, system)
    try:
        test.run_all()
    except Failure as failure:
        print("FAILED: %s\nreplay with QUEUE_CRASH_SEED=%d" % (failure, seed))
        return 1
    finally:
        test.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
