"""A server for tests started natively on a free port of 127.0.0.1 and stopped by its
owner: the Python counterpart of server_process.h, for the launchers that run a Windows
test program under Wine beside the servers it talks to."""
import socket
import subprocess
import time

ATTEMPTS = 5  # a port taken meanwhile makes the server exit; another is tried
LISTEN_BOUND = 10.0  # a server that has not listened by then never will
STOP_BOUND = 5.0


def free_port():
    """A port of 127.0.0.1 that was free a moment ago."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class ServerProcess:
    """The server that command(port) starts, once it accepts connections on 127.0.0.1;
    started again on another port, a few times, when it exits first. Raises RuntimeError
    naming what when it never listens."""

    def __init__(self, what, command):
        for _ in range(ATTEMPTS):
            self.port = free_port()
            self.process = subprocess.Popen(command(self.port), stdin=subprocess.DEVNULL,
                                            stdout=subprocess.DEVNULL,
                                            stderr=subprocess.DEVNULL)
            if self._listening():
                return
            self.stop()
        raise RuntimeError("%s did not start" % what)

    def _listening(self):
        """True once the server accepts; False when it exits first or never does, so the
        listener found is this server and not whoever took the port."""
        deadline = time.monotonic() + LISTEN_BOUND
        while time.monotonic() < deadline and self.process.poll() is None:
            try:
                socket.create_connection(("127.0.0.1", self.port), timeout=1).close()
                return True
            except OSError:
                time.sleep(0.01)
        return False

    def stop(self):
        """SIGTERM, then SIGKILL when it lingers."""
        self.process.terminate()
        try:
            self.process.wait(timeout=STOP_BOUND)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
