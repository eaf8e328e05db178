"""Window tests of the Windows build: the result dialog and the message box as Win32
windows, run by the test driver window_probe.exe under Wine on an Xvfb server of their
own, found by name and driven with xdotool. Screenshots are kept in
WINDOW_TEST_OUTPUT/<test>/.

Run by ctest, one test per process: window_test.py WindowTest.test_<name>.
"""
import os
import shutil
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from wine_command import WINE  # noqa: E402
from x_display import Xvfb  # noqa: E402

PROBE = os.environ["WINDOW_PROBE"]
OUTPUT = os.environ["WINDOW_TEST_OUTPUT"]

# Bound of one wait for a window to appear or a process to end; Wine starts slowly on
# a loaded machine, and the tests never wait for it to pass.
WAIT = 60.0
AUTO_CLOSE_SECONDS = 10.0


class WindowTest(unittest.TestCase):
    def setUp(self):
        self.output = os.path.join(OUTPUT, self._testMethodName)
        shutil.rmtree(self.output, ignore_errors=True)
        os.makedirs(self.output)
        self.xvfb = Xvfb().__enter__()
        self.addCleanup(self.xvfb.__exit__)
        self.display = self.xvfb.display
        self.env = dict(os.environ, DISPLAY=self.display)
        # Wine's server and desktop outlive the test's own process for a moment, bound
        # to this display: the next test must not meet them after the display is gone.
        self.addCleanup(lambda: subprocess.run(["wineserver", "-w"], env=self.env, timeout=WAIT))

    def start(self, *args, env=None):
        process = subprocess.Popen([*WINE, PROBE, *args], env=env or self.env,
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        self.addCleanup(lambda: (process.poll() is None and process.kill(), process.communicate()))
        return process

    def finish(self, process, with_stderr=False):
        stdout, stderr = process.communicate(timeout=WAIT)
        result = (process.returncode, stdout.replace("\r\n", "\n"))
        return result + (stderr.replace("\r\n", "\n"),) if with_stderr else result

    def xdotool(self, *args):
        return self.xvfb.xdotool(*args, timeout=WAIT)

    def find_window(self, name, process):
        """The visible window whose name is exactly name, once process has mapped and
        drawn it; its screenshot is kept as name.png."""
        window = self.xvfb.wait_for_window(name, WAIT, process=process)
        if window is None:
            self.fail("no window named %r; %s" % (name, self.how_it_stands(process)))
        shot = os.path.join(self.output, name + ".png")
        self.assertTrue(self.xvfb.screenshot(window, shot, WAIT),
                        "window %r was never drawn" % name)
        return window

    def how_it_stands(self, process):
        if process.poll() is None:
            return "the program still runs"
        return "the program ended: exit code, output, errors %r" % (self.finish(process, True),)

    def press_until_closed(self, process, key):
        """Presses key until the process ends (Wine takes the keyboard focus a moment
        after the window is mapped, and X does not tell when), well before the dialog's
        timer could end it; returns how the process ended."""
        pressed = time.monotonic()
        while process.poll() is None:
            self.assertLess(time.monotonic() - pressed, AUTO_CLOSE_SECONDS / 2,
                            "%s did not close the window" % key)
            self.xdotool("key", key)
            time.sleep(0.5)
        return self.finish(process)

    def test_dialog_enter_gives_idok(self):
        dialog = self.start("dialog", "Message sent OK")
        self.find_window("e-mailer", dialog)
        self.assertEqual(self.press_until_closed(dialog, "Return"), (0, "IDOK\n"))

    def test_dialog_escape_gives_idcancel(self):
        dialog = self.start("dialog", "Message sent OK")
        self.find_window("e-mailer", dialog)
        self.assertEqual(self.press_until_closed(dialog, "Escape"), (0, "IDCANCEL\n"))

    def test_dialog_closes_by_itself_after_ten_seconds(self):
        dialog = self.start("dialog", "Message sent OK")
        self.find_window("e-mailer", dialog)
        shown = time.monotonic()
        self.assertEqual(self.finish(dialog), (0, "IDOK\n"))
        # Found some time after it was shown, so a little under ten seconds may be left.
        self.assertGreaterEqual(time.monotonic() - shown, AUTO_CLOSE_SECONDS - 2)

    def test_message_box_titled_with_the_program_name_closes_by_itself(self):
        box = self.start("box", "Failed to connect to SMTP server")
        self.find_window("window_probe", box)
        shown = time.monotonic()
        self.assertEqual(self.finish(box), (0, "shown\n"))
        self.assertGreaterEqual(time.monotonic() - shown, AUTO_CLOSE_SECONDS - 2)

    def test_without_a_display_texts_go_to_standard_error(self):
        env = dict(self.env, DISPLAY="")
        self.assertEqual(self.finish(self.start("dialog", "Message sent OK", env=env), True),
                         (0, "IDOK\n", "window_probe: Message sent OK\n"))
        self.assertEqual(self.finish(self.start("box", "Failed to connect", env=env), True),
                         (0, "shown\n", "window_probe: Failed to connect\n"))


if __name__ == "__main__":
    unittest.main()
