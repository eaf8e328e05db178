"""An Xvfb server of a test's own (started with -displayfd, so parallel tests never share
a display), and the windows on it: found by name with xdotool, shot with ImageMagick's
import once they are drawn.

There is no window manager, so windows have no title bar; their names are set all the
same, and that is how the tests find them. ImageMagick's tools are Debian's, named by
their path: a convert that comes first on PATH may be another program.
"""
import os
import select
import subprocess
import time

POLL = 0.1
# Seconds for the server to start (it compiles its keymap first) and to end.
SERVER_SECONDS = 30


class Xvfb:
    def __init__(self, screen="800x600"):
        self.screen = screen

    def __enter__(self):
        read_end, write_end = os.pipe()
        self.server = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_end), "-screen", "0", self.screen + "x24",
             "-nolisten", "tcp"],
            pass_fds=[write_end], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(write_end)
        with os.fdopen(read_end) as ready:
            # The number is written once the server accepts clients.
            started = select.select([ready], [], [], SERVER_SECONDS)[0]
            number = ready.readline().strip() if started else ""
        if not number:
            self.__exit__()
            raise RuntimeError("Xvfb did not start within %d s" % SERVER_SECONDS)
        self.display = ":" + number
        return self

    def __exit__(self, *exc):
        self.server.terminate()
        try:
            self.server.wait(SERVER_SECONDS)
        except subprocess.TimeoutExpired:
            self.server.kill()
            self.server.wait()

    def xdotool(self, *args, timeout):
        return subprocess.run(["xdotool", *args], env=dict(os.environ, DISPLAY=self.display),
                              capture_output=True, text=True, timeout=timeout).stdout.strip()

    def visible_windows(self, name, timeout):
        """The visible windows whose name is exactly name, now."""
        return self.xdotool("search", "--onlyvisible", "--name", "^%s$" % name,
                            timeout=timeout).split()

    def wait_for_window(self, name, timeout, other_than=(), process=None):
        """The first visible window named name that is not one of other_than, once there
        is one; None when none came within timeout seconds, or once process (the program
        that is to show it, when given) has ended without it."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            ended = process is not None and process.poll() is not None
            found = [w for w in self.visible_windows(name, timeout) if w not in other_than]
            if found:
                return found[0]
            if ended:
                return None
            time.sleep(POLL)
        return None

    def screenshot(self, window, path, timeout):
        """Saves the window as path once it is drawn (more than a plain background);
        False when it was not drawn within timeout seconds."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            shot = subprocess.run(["/usr/bin/import", "-display", self.display, "-window", window, path],
                                  capture_output=True, timeout=timeout)
            if shot.returncode == 0 and int(magick(path, "%k")) > 8:
                return True
            time.sleep(POLL)
        return False


def magick(path, fmt, *operations):
    """ImageMagick's answer for fmt (for instance "%k", the number of colours) about the
    image at path after operations."""
    return subprocess.run(["/usr/bin/convert", path, *operations, "-format", fmt, "info:"],
                          capture_output=True, text=True, check=True).stdout.strip()
