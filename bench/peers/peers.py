"""The measuring half of bench/peers/run: starts one smtp-sink on 127.0.0.1 with
stunnel in front of it for implicit TLS, runs e-mailer and its peers against it in
alternating rounds, and prints one table of medians with each tool's ratio to
e-mailer, then the speed goals met or missed.

    /usr/bin/python3 bench/peers/peers.py BUILD_DIR [--rounds N] [--bulk-rounds N]
                                          [--memory-rounds N] [--before BUILD_DIR]
                                          [--cases one-shot,bulk,attachment]

With --before, the e-mailer and engine driver of another build (an earlier version)
join every case as "before", so one table shows what a change bought. --cases runs
some of the cases only (all by default), and checks the goals of those.
"""

import argparse
import os
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import time

HOST = "127.0.0.1"
SUBJECT = "Bench"
BODY = "A small message from the peer comparison."
MESSAGES = 1000
MESSAGE_BYTES = 1024
ATTACHMENT_BYTES = 50 << 20
BIG_ATTACHMENT_BYTES = 1 << 30
BULK_CASE = f"{MESSAGES} x 1 KiB, one conn."


def free_ports(count):
    """Ports that were free a moment ago, all different (held together while chosen)."""
    sockets = [socket.socket() for _ in range(count)]
    try:
        for s in sockets:
            s.bind((HOST, 0))
        return [s.getsockname()[1] for s in sockets]
    finally:
        for s in sockets:
            s.close()


def wait_for_port(port, process, seconds=10.0):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if process.poll() is not None:
            sys.exit(f"peers: {process.args[0]} ended at start-up")
        try:
            with socket.create_connection((HOST, port), timeout=0.2):
                return
        except OSError:
            time.sleep(0.02)
    sys.exit(f"peers: nothing listens on port {port}")


class Run:
    """One program run: its wall time, or its peak resident size.

    Wall time is taken around a direct spawn. Peak memory is taken by /usr/bin/time in
    runs of its own: a child spawned from this process would report this interpreter's
    resident size as its peak when it is smaller than that (the kernel carries the
    peak of the address space it replaces across exec)."""

    def __init__(self, argv, env, stdin_path, work):
        self.argv, self.env, self.stdin_path = argv, env, stdin_path
        self.err_path, self.memory_path = os.path.join(work, "stderr"), os.path.join(work, "memory")

    def seconds(self):
        start = time.perf_counter()
        self.spawn(self.argv)
        return time.perf_counter() - start

    def peak_kib(self):
        self.spawn(["/usr/bin/time", "-f", "%M", "-o", self.memory_path, *self.argv])
        with open(self.memory_path) as f:
            return int(f.read().split()[-1])

    def spawn(self, argv):
        actions = [
            (os.POSIX_SPAWN_OPEN, 0, self.stdin_path, os.O_RDONLY, 0),
            (os.POSIX_SPAWN_OPEN, 1, os.devnull, os.O_WRONLY, 0),
            (os.POSIX_SPAWN_OPEN, 2, self.err_path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600),
        ]
        pid = os.posix_spawn(argv[0], argv, self.env, file_actions=actions)
        _, status = os.waitpid(pid, 0)
        if os.waitstatus_to_exitcode(status) != 0:
            with open(self.err_path) as err:
                sys.exit(f"peers: {' '.join(argv)} failed ({status}):\n{err.read()}")


class Bench:
    def __init__(self, build, work, before=None):
        self.build, self.work = build, work
        self.floor = os.path.join(build, "bench/peers/floor_client")
        self.engine = os.path.join(build, "bench/peers/engine_client")
        self.mailer = os.path.join(build, "bin/e-mailer")
        self.before = before and {"engine": os.path.join(before, "bench/peers/engine_client"),
                                  "mailer": os.path.join(before, "bin/e-mailer")}
        self.env = {"PATH": "/usr/bin:/bin:/usr/sbin:/sbin", "HOME": work, "LC_ALL": "C.UTF-8"}
        self.servers = []
        cpus = sorted(os.sched_getaffinity(0))
        self.server_cpus, self.client_cpus = {cpus[0]}, {cpus[-1]}

    # The sink and the TLS front

    def start_servers(self):
        self.port, self.tls_port = free_ports(2)
        # smtp-sink refuses to keep root's privileges.
        user = ["-u", "nobody"] if os.geteuid() == 0 else []
        sink = self.start_server(["/usr/sbin/smtp-sink", "-p", *user, f"{HOST}:{self.port}", "64"])
        wait_for_port(self.port, sink)
        key, cert, conf = (os.path.join(self.work, n) for n in ("key.pem", "cert.pem", "stunnel.conf"))
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key,
                        "-out", cert, "-days", "1", "-subj", "/CN=localhost"],
                       check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        with open(conf, "w") as f:
            f.write(f"foreground = yes\npid =\ndebug = 3\n[smtps]\naccept = {HOST}:{self.tls_port}\n"
                    f"connect = {HOST}:{self.port}\ncert = {cert}\nkey = {key}\n")
        stunnel = self.start_server(["stunnel4", conf])
        wait_for_port(self.tls_port, stunnel)
        os.sched_setaffinity(0, self.client_cpus)  # every tool inherits it

    # The servers run on one CPU and the tools on another, as they would on two
    # machines. Left to the scheduler, a client and the sink sometimes share a CPU and
    # sometimes not, and a message takes about four times as long when they do not
    # (each reply wakes the other CPU), which would make the figures jump between runs.
    def start_server(self, argv):
        server = subprocess.Popen(argv, stderr=subprocess.DEVNULL)
        os.sched_setaffinity(server.pid, self.server_cpus)
        self.servers.append(server)
        return server

    def stop_servers(self):
        for server in self.servers:
            server.send_signal(signal.SIGTERM)
            server.wait(timeout=10)

    # What the tools send

    def write_inputs(self, attachments):
        self.message = os.path.join(self.work, "message.eml")
        with open(self.message, "w", newline="") as f:
            f.write(f"From: Bench <a@b>\r\nTo: Sink <c@d>\r\nSubject: {SUBJECT}\r\n"
                    f"Date: {time.strftime('%a, %d %b %Y %H:%M:%S +0000', time.gmtime())}\r\n"
                    f"\r\n{BODY}\r\n")
        self.settings = {tls: self.write_settings(tls) for tls in (False, True)}
        if attachments:
            self.write_attachments()

    def write_attachments(self):
        self.attachment = os.path.join(self.work, "attachment.bin")
        with open(self.attachment, "wb") as f:
            for _ in range(ATTACHMENT_BYTES >> 20):
                f.write(os.urandom(1 << 20))
        # A sparse file: no disk space and nothing to write; every tool reads its zeros
        # through the same read calls as real data. Removed with the work directory.
        self.big_attachment = os.path.join(self.work, "big-attachment.bin")
        with open(self.big_attachment, "wb") as f:
            f.truncate(BIG_ATTACHMENT_BYTES)

    def write_settings(self, tls):
        home = os.path.join(self.work, "tls" if tls else "plain")
        os.makedirs(os.path.join(home, "Zelkor/Kestrum"), mode=0o700)
        port = self.tls_port if tls else self.port
        with open(os.path.join(home, "Zelkor/Kestrum/SMTP.reg"), "w", newline="") as f:
            f.write("Windows Registry Editor Version 5.00\r\n\r\n"
                    "[HKEY_CURRENT_USER\\software\\Zelkor\\Kestrum\\SMTP]\r\n"
                    f'"Server"="{HOST}"\r\n"Port"=dword:{port:08x}\r\n"SSL"="{int(tls)}"\r\n'
                    '"SenderName"="Bench"\r\n"SenderEMail"="a@b"\r\n'
                    '"RecipientName"="Sink"\r\n"RecipientEMail"="c@d"\r\n')
        return home

    def run(self, argv, env=None, stdin=os.devnull):
        argv = [shutil.which(argv[0]) or argv[0]] + argv[1:]
        return Run(argv, {**self.env, **(env or {})}, stdin, self.work)

    # The cases: name -> {tool: Run}

    def with_before(self, case, tool, argv, env=None):
        """case with the earlier build's tool (its path in argv[0]) as "before"."""
        if self.before:
            case["before"] = self.run([self.before[tool], *argv[1:]], env)
        return case

    def one_shot(self, tls):
        port = self.tls_port if tls else self.port
        url = f"{'smtps' if tls else 'smtp'}://{HOST}:{port}"
        t = ["-t"] if tls else []
        msmtp_tls = ["--tls=on", "--tls-starttls=off", "--tls-certcheck=off"] if tls else ["--tls=off"]
        mailer, env = [self.mailer, SUBJECT, BODY], {"XDG_CONFIG_HOME": self.settings[tls]}
        return self.with_before({
            "e-mailer": self.run(mailer, env),
            "floor": self.run([self.floor, *t, "-f", self.message, HOST, str(port)]),
            "curl": self.run(["curl", "-q", "-s", "-S", *(["-k"] if tls else []), "--mail-from", "a@b",
                              "--mail-rcpt", "c@d", "-T", self.message, url]),
            "msmtp": self.run(["msmtp", f"--host={HOST}", f"--port={port}", "--from=a@b", "--auth=off",
                               *msmtp_tls, "c@d"], stdin=self.message),
            "swaks": self.run(["swaks", "--server", HOST, "--port", str(port), "--from", "a@b", "--to", "c@d",
                               "--data", "@" + self.message, "--silent", "3",
                               *(["--tls-on-connect"] if tls else [])]),
        }, "mailer", mailer, env)

    # The floor client sends the very bytes the engine sends (its header block of eight
    # lines, its body), which it takes from the engine's driver: the sink's work grows
    # with each line, so a shorter message would measure the message, not the client.
    # "floor, 3 lines" sends smtp-source's three header lines before the same body.
    def bulk(self):
        size, count = str(MESSAGE_BYTES), str(MESSAGES)
        engine = [self.engine, "-n", count, "-l", size, HOST, str(self.port)]
        engine_text = os.path.join(self.work, "engine-message.eml")
        subprocess.run([self.engine, "-w", engine_text, "-l", size], check=True)
        return self.with_before({
            "e-mailer": self.run(engine),
            "floor": self.run([self.floor, "-n", count, "-f", engine_text, HOST, str(self.port)]),
            "floor, 3 lines": self.run([self.floor, "-n", count, "-l", size, HOST, str(self.port)]),
            "smtp-source": self.run(["/usr/sbin/smtp-source", "-d", "-s", "1", "-m", count, "-l", size,
                                     "-f", "a@b", "-t", "c@d", f"{HOST}:{self.port}"]),
        }, "engine", engine)

    # swaks holds the whole message several times over (1.1 GiB for 50 MiB), and an
    # earlier engine may refuse a file over 50 MiB: they send the small file only.
    def attachment_send(self, path, small):
        engine = [self.engine, "-a", path, HOST, str(self.port)]
        case = {
            "e-mailer": self.run(engine),
            "curl": self.run(["curl", "-q", "-s", "-S", "--mail-from", "a@b", "--mail-rcpt", "c@d",
                              "-H", f"Subject: {SUBJECT}", "-F", "=" + BODY,
                              "-F", f"=@{path};type=application/octet-stream;encoder=base64",
                              f"smtp://{HOST}:{self.port}"]),
        }
        if not small:
            return case
        case["swaks"] = self.run(["swaks", "--server", HOST, "--port", str(self.port), "--from", "a@b",
                                  "--to", "c@d", "--body", BODY, "--attach-type", "application/octet-stream",
                                  "--attach", "@" + path, "--silent", "3"])
        return self.with_before(case, "engine", engine)


def measure(case, rounds, memory_rounds):
    """Medians of wall time and of peak memory: rounds run every tool once, in an order
    rotated from round to round, after one round that is not counted."""
    tools = list(case)

    def medians(sample, count):
        samples = {tool: [] for tool in tools}
        for r in range(count + 1):
            for tool in tools[r % len(tools):] + tools[:r % len(tools)]:
                value = sample(case[tool])
                if r > 0:
                    samples[tool].append(value)
        return {tool: statistics.median(values) for tool, values in samples.items()}

    seconds = medians(Run.seconds, rounds)
    peaks = medians(Run.peak_kib, memory_rounds)
    return {tool: (seconds[tool], peaks[tool]) for tool in tools}


def measure_once(case):
    """Wall time and peak memory of one run of each tool, for sends that take seconds
    and hold nothing to warm up (/usr/bin/time's own share is then lost in the noise)."""
    figures = {}
    for tool, run in case.items():
        start = time.perf_counter()
        peak = run.peak_kib()
        figures[tool] = (time.perf_counter() - start, peak)
    return figures


def print_table(results):
    print(f"{'case':<26} {'tool':<14} {'figure':>14} {'÷ e-mailer':>11} {'peak memory':>12} {'÷ e-mailer':>11}")
    for case, unit, figures in results:
        base_figure, base_memory = value(unit, figures["e-mailer"][0]), figures["e-mailer"][1]
        for tool, (seconds, memory) in figures.items():
            figure = value(unit, seconds)
            print(f"{case:<26} {tool:<14} {format_figure(unit, figure):>14} {figure / base_figure:>11.2f} "
                  f"{memory / 1024:>9.1f} MiB {memory / base_memory:>11.2f}")


def value(unit, seconds):
    return MESSAGES / seconds if unit == "msg/s" else seconds * 1000


def format_figure(unit, figure):
    return f"{figure:,.0f} msg/s" if unit == "msg/s" else f"{figure:,.1f} ms"


def print_goals(results):
    by_case = {case: figures for case, _, figures in results}
    print("\nGoals:")
    for case, floor_factor in (("one-shot, plain", 1.5), ("one-shot, TLS", 1.15)):
        if case not in by_case:
            continue
        f = by_case[case]
        mailer = f["e-mailer"][0]
        check(f"{case}: at most curl's time", mailer, f["curl"][0], mailer <= f["curl"][0])
        check(f"{case}: within {floor_factor}x the floor", mailer, floor_factor * f["floor"][0],
              mailer <= floor_factor * f["floor"][0])
    if BULK_CASE in by_case:
        rate = {tool: MESSAGES / seconds for tool, (seconds, _) in by_case[BULK_CASE].items()}
        check("messages per second: at least smtp-source's", rate["e-mailer"], rate["smtp-source"],
              rate["e-mailer"] >= rate["smtp-source"], "msg/s")
        check("messages per second: at least the floor's", rate["e-mailer"], rate["floor"],
              rate["e-mailer"] >= rate["floor"], "msg/s")
    if "1 GiB attachment" in by_case:
        print_attachment_goals(by_case)


def print_attachment_goals(by_case):
    for case in ("50 MiB attachment", "1 GiB attachment"):
        f = by_case[case]
        seconds, curl_seconds = f["e-mailer"][0], f["curl"][0]
        check(f"{case}: at most curl's time", seconds, curl_seconds, seconds <= curl_seconds)
        if "before" in f:
            check(f"{case}: at most the time before", seconds, f["before"][0], seconds <= f["before"][0])
    (_, peak), (_, curl_peak) = by_case["1 GiB attachment"]["e-mailer"], by_case["1 GiB attachment"]["curl"]
    check("1 GiB attachment: peak memory at most 16 MiB", peak / 1024, 16, peak <= 16 * 1024, "MiB")
    check("1 GiB attachment: peak memory at most 1.5x curl's", peak / 1024, 1.5 * curl_peak / 1024,
          peak <= 1.5 * curl_peak, "MiB")


def check(goal, ours, bound, met, unit="s"):
    scale = 1000 if unit == "s" else 1
    shown = "ms" if unit == "s" else unit
    print(f"  {'met   ' if met else 'MISSED'} {goal}: {ours * scale:,.2f} {shown} (bound {bound * scale:,.2f} {shown})")


CASES = ("one-shot", "bulk", "attachment")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build")
    parser.add_argument("--rounds", type=int, default=21, help="rounds of the one-shot sends")
    parser.add_argument("--bulk-rounds", type=int, default=21, help="rounds of the 1,000 messages")
    parser.add_argument("--memory-rounds", type=int, default=3, help="rounds of peak memory, every case")
    parser.add_argument("--before", help="the build directory of an earlier e-mailer to compare with")
    parser.add_argument("--cases", default=",".join(CASES),
                        help=f"the cases to run, comma-separated, of {', '.join(CASES)} (default: all)")
    args = parser.parse_args()
    cases = set(args.cases.split(","))
    if not cases <= set(CASES):
        parser.error(f"unknown case in --cases: {args.cases}")
    with tempfile.TemporaryDirectory(prefix="emailer-peers-") as work:
        bench = Bench(os.path.abspath(args.build), work, args.before and os.path.abspath(args.before))
        try:
            bench.start_servers()
            bench.write_inputs("attachment" in cases)
            results = []
            if "one-shot" in cases:
                results += [
                    ("one-shot, plain", "ms", measure(bench.one_shot(False), args.rounds, args.memory_rounds)),
                    ("one-shot, TLS", "ms", measure(bench.one_shot(True), args.rounds, args.memory_rounds)),
                ]
            if "bulk" in cases:
                results.append((BULK_CASE, "msg/s", measure(bench.bulk(), args.bulk_rounds, args.memory_rounds)))
            if "attachment" in cases:
                results += [
                    ("50 MiB attachment", "ms",
                     measure(bench.attachment_send(bench.attachment, True), 3, args.memory_rounds)),
                    ("1 GiB attachment", "ms", measure_once(bench.attachment_send(bench.big_attachment, False))),
                ]
        finally:
            bench.stop_servers()
    print(f"\nMedians of wall time over {args.rounds} rounds (one-shot), {args.bulk_rounds} (1,000 messages), "
          f"3 (50 MiB), of peak memory over {args.memory_rounds}; 1 GiB: one run. In the last "
          f"three cases e-mailer is its engine (bench/peers/engine_client). Servers on CPU {min(bench.server_cpus)}, "
          f"tools on CPU {min(bench.client_cpus)}.")
    print_table(results)
    print_goals(results)


if __name__ == "__main__":
    main()
