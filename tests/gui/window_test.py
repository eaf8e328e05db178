"""Window tests: the result dialog and the message box of e-mailer (through the test
driver window_probe, and in a run of the program itself), shown on an Xvfb server of
their own (started with -displayfd, so parallel tests never share a display)
and driven with xdotool. Screenshots are kept in WINDOW_TEST_OUTPUT/<test>/.

Run by ctest, one test per process: window_test.py WindowTest.test_<name>.
"""
import ctypes
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from x_display import Xvfb, magick  # noqa: E402

PROBE = os.environ["WINDOW_PROBE"]
PROGRAM = os.environ["EMAILER_PROGRAM"]
OUTPUT = os.environ["WINDOW_TEST_OUTPUT"]

# Bound of one wait for a window to appear or a process to end. Generous, since GTK
# starts slowly in the sanitizer build; the tests never wait for it to pass.
WAIT = 30.0
POLL = 0.05

DIALOG_TITLE = "e-mailer"
AUTO_CLOSE_SECONDS = 10.0
THREE_LINES = ("Failed to connect to SMTP server\n"
               "421-4.7.0 The server is busy right now and cannot take any more "
               "connections from your address\n"
               "421 4.7.0 Try again in a few minutes.")


def request_close(display, window):
    """Sends what a window manager sends when the close box is clicked: the client
    message WM_PROTOCOLS with WM_DELETE_WINDOW."""
    class ClientMessage(ctypes.Structure):
        _fields_ = [("type", ctypes.c_int), ("serial", ctypes.c_ulong),
                    ("send_event", ctypes.c_int), ("display", ctypes.c_void_p),
                    ("window", ctypes.c_ulong), ("message_type", ctypes.c_ulong),
                    ("format", ctypes.c_int), ("data", ctypes.c_long * 5)]

    class XEvent(ctypes.Union):
        _fields_ = [("xclient", ClientMessage), ("pad", ctypes.c_long * 24)]

    x11 = ctypes.CDLL("libX11.so.6")
    x11.XOpenDisplay.restype = ctypes.c_void_p
    x11.XOpenDisplay.argtypes = [ctypes.c_char_p]
    x11.XInternAtom.restype = ctypes.c_ulong
    x11.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
    x11.XSendEvent.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_long,
                               ctypes.POINTER(XEvent)]
    x11.XCloseDisplay.argtypes = [ctypes.c_void_p]
    connection = x11.XOpenDisplay(display.encode())
    event = XEvent()
    event.xclient.type = 33  # ClientMessage
    event.xclient.window = int(window)
    event.xclient.message_type = x11.XInternAtom(connection, b"WM_PROTOCOLS", 0)
    event.xclient.format = 32
    event.xclient.data[0] = x11.XInternAtom(connection, b"WM_DELETE_WINDOW", 0)
    x11.XSendEvent(connection, int(window), 0, 0, ctypes.byref(event))
    x11.XCloseDisplay(connection)  # flushes the request


class WindowTest(unittest.TestCase):
    def setUp(self):
        self.output = os.path.join(OUTPUT, self._testMethodName)
        shutil.rmtree(self.output, ignore_errors=True)
        os.makedirs(self.output)
        self.use_display(Xvfb())

    def use_display(self, xvfb):
        """Runs the test's windows on xvfb (started here) from now on."""
        self.xvfb = xvfb.__enter__()
        self.addCleanup(self.xvfb.__exit__)
        self.env = dict(os.environ, DISPLAY=self.xvfb.display, NO_AT_BRIDGE="1")
        self.env.pop("WAYLAND_DISPLAY", None)

    # --- tools -----------------------------------------------------------------------

    def start(self, *args, program=PROBE, env=None):
        process = subprocess.Popen([program, *args], env=env or self.env,
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        self.addCleanup(self.stop, process)
        return process

    @staticmethod
    def stop(process):
        if process.poll() is None:
            process.kill()
        # Bounded: a process the program started may still hold its output open.
        process.communicate(timeout=WAIT)

    def finish(self, process):
        stdout, stderr = process.communicate(timeout=WAIT)
        return process.returncode, stdout, stderr

    def xdotool(self, *args):
        return subprocess.run(["xdotool", *args], env=self.env, capture_output=True, text=True,
                              timeout=WAIT).stdout.strip()

    def visible_windows(self, name):
        """The visible windows whose name is exactly name, now."""
        return self.xdotool("search", "--onlyvisible", "--name", "^%s$" % name).split()

    def find_window(self, name):
        """The visible window whose name is exactly name, once it is mapped."""
        found = self.xdotool("search", "--sync", "--onlyvisible", "--name", "^%s$" % name)
        self.assertTrue(found, "no window named %r" % name)
        return found.split()[0]

    def wait_until(self, condition, what):
        deadline = time.monotonic() + WAIT
        while not condition():
            self.assertLess(time.monotonic(), deadline, what)
            time.sleep(POLL)

    def wait_for_focus(self, window):
        self.wait_until(lambda: self.xdotool("getwindowfocus", "-f") == window,
                        "window %s never got the keyboard focus" % window)

    def geometry(self, window):
        lines = self.xdotool("getwindowgeometry", window).splitlines()
        return lines[-1].split()[-1]  # "Geometry: WxH"

    def size(self, window):
        return tuple(map(int, self.geometry(window).split("x")))

    def settings(self, text):
        """A config folder whose SMTP settings file holds text."""
        config = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, config)
        os.makedirs(os.path.join(config, "Zelkor", "Kestrum"))
        with open(os.path.join(config, "Zelkor", "Kestrum", "SMTP.reg"), "w") as f:
            f.write('Windows Registry Editor Version 5.00\n\n'
                    '[HKEY_CURRENT_USER\\software\\Zelkor\\Kestrum\\SMTP]\n' + text)
        return config

    def screenshot(self, window, name):
        """Saves the window as name.png once it is drawn (more than a plain background)."""
        path = os.path.join(self.output, name + ".png")
        self.assertTrue(self.xvfb.screenshot(window, path, WAIT),
                        "window %s was never drawn" % window)
        return path

    def text_box(self, path):
        """Bounding box (x, y, w, h) of the dark pixels above the OK button."""
        width, height = map(int, magick(path, "%w %h").split())
        box = magick(path, "%@", "-crop", "%dx%d+0+0" % (width, height * 60 // 100),
                     "+repage", "-colorspace", "Gray", "-threshold", "50%")
        size, x, y = box.split("+")
        w, h = map(int, size.split("x"))
        return int(x), int(y), w, h, width

    # --- the result dialog --------------------------------------------------------------

    def test_dialog_shows_text_centred_in_front_and_enter_closes_it(self):
        dialog = self.start("dialog", "Message sent OK")
        window = self.find_window(DIALOG_TITLE)
        self.wait_for_focus(window)
        shot = self.screenshot(window, "message-sent-ok")
        x, _, w, _, width = self.text_box(shot)
        self.assertAlmostEqual(x + w / 2, width / 2, delta=4, msg="text not centred")

        pressed = time.monotonic()
        self.xdotool("key", "Return")
        self.assertEqual(self.finish(dialog), (0, "IDOK\n", ""))
        self.assertLess(time.monotonic() - pressed, AUTO_CLOSE_SECONDS / 2,
                        "Enter did not close the dialog")

    def test_dialog_closes_by_itself_ten_seconds_after_it_is_shown(self):
        started = time.monotonic()
        dialog = self.start("dialog", "Message sent OK")
        self.find_window(DIALOG_TITLE)
        code, stdout, _ = self.finish(dialog)
        self.assertGreaterEqual(time.monotonic() - started, AUTO_CLOSE_SECONDS)
        self.assertEqual((code, stdout), (0, "IDOK\n"))

    def test_escape_cancels_the_dialog(self):
        dialog = self.start("dialog", "Message sent OK")
        self.wait_for_focus(self.find_window(DIALOG_TITLE))
        self.xdotool("key", "Escape")
        self.assertEqual(self.finish(dialog), (0, "IDCANCEL\n", ""))

    def test_close_box_cancels_the_dialog(self):
        dialog = self.start("dialog", "Message sent OK")
        request_close(self.xvfb.display, self.find_window(DIALOG_TITLE))
        self.assertEqual(self.finish(dialog), (0, "IDCANCEL\n", ""))

    def test_window_destroyed_from_outside_cancels_the_dialog_at_once(self):
        dialog = self.start("dialog", "Message sent OK")
        self.xdotool("windowclose", self.find_window(DIALOG_TITLE))
        code, stdout, stderr = self.finish(dialog)
        # IDCANCEL: not left to the timer. GTK itself complains about losing its X window;
        # the dialog must not destroy the widget a second time.
        self.assertEqual((code, stdout), (0, "IDCANCEL\n"))
        self.assertNotIn("gtk_widget_destroy", stderr)

    def test_long_text_is_cut_off_in_an_area_of_fixed_size(self):
        short = self.start("dialog", "Message sent OK")
        window = self.find_window(DIALOG_TITLE)
        self.wait_for_focus(window)
        short_size = self.geometry(window)
        _, _, _, line_height, _ = self.text_box(self.screenshot(window, "one-line"))
        self.xdotool("key", "Return")
        self.finish(short)

        long = self.start("dialog", THREE_LINES)
        window = self.find_window(DIALOG_TITLE)
        self.wait_for_focus(window)
        self.assertEqual(self.geometry(window), short_size)
        _, _, _, text_height, _ = self.text_box(self.screenshot(window, "cut-off"))
        self.assertLess(text_height, 3 * line_height, "more than two lines shown")
        self.assertGreater(text_height, line_height, "second line missing")
        self.xdotool("key", "Return")
        self.assertEqual(self.finish(long)[1], "IDOK\n")

    # --- the message box ----------------------------------------------------------------

    def test_message_box_is_titled_with_the_program_name(self):
        report = self.start("report", "10061")
        window = self.find_window(os.path.basename(PROBE))
        self.wait_for_focus(window)
        self.screenshot(window, "message-box")
        self.xdotool("key", "Return")
        self.assertEqual(self.finish(report), (0, "reported\n", ""))

    def test_message_box_closes_by_itself_ten_seconds_after_it_is_shown(self):
        started = time.monotonic()
        box = self.start("box", "The connection was refused by the remote host.")
        self.find_window(os.path.basename(PROBE))
        self.assertEqual(self.finish(box), (0, "shown\n", ""))
        self.assertGreaterEqual(time.monotonic() - started, AUTO_CLOSE_SECONDS)

    def test_huge_text_is_cut_and_the_message_box_fits_the_screen(self):
        # 3 MB of server reply, on a screen smaller than the box would like to be.
        line = "554-" + "x" * 94 + "\r\n"
        for screen in ("800x600", "320x200"):
            self.use_display(Xvfb(screen))
            box = self.start("box", line, "30000")
            window = self.find_window(os.path.basename(PROBE))
            self.wait_for_focus(window)
            self.screenshot(window, "huge-" + screen)
            width, height = self.size(window)
            screen_width, screen_height = map(int, screen.split("x"))
            self.assertLessEqual(width, screen_width)
            self.assertLessEqual(height, screen_height)
            self.xdotool("key", "Escape")
            self.assertEqual(self.finish(box), (0, "shown\n", ""))

    def test_window_module_is_found_in_the_installed_layout(self):
        prefix = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, prefix)
        for folder in ("bin", "lib/e-mailer"):
            os.makedirs(os.path.join(prefix, folder))
        program = shutil.copy(PROBE, os.path.join(prefix, "bin"))
        shutil.copy(os.path.join(os.path.dirname(PROBE), "e-mailer-gtk.so"),
                    os.path.join(prefix, "lib/e-mailer"))
        dialog = self.start("dialog", "Message sent OK", program=program)
        self.wait_for_focus(self.find_window(DIALOG_TITLE))
        self.xdotool("key", "Escape")
        self.assertEqual(self.finish(dialog), (0, "IDCANCEL\n", ""))

    # --- the program ---------------------------------------------------------------------

    def test_connect_failure_shows_the_message_box_first_and_the_dialog_after_it(self):
        # The result dialog's size, to tell it from the message box of the same caption.
        probe = self.start("dialog", "Failed to connect to SMTP server\n")
        window = self.find_window(DIALOG_TITLE)
        self.wait_for_focus(window)
        dialog_size = self.geometry(window)
        self.xdotool("key", "Escape")
        self.finish(probe)

        # A port that refuses connections: bound, so no one takes it, but not listening.
        refusing = socket.socket()
        self.addCleanup(refusing.close)
        refusing.bind(("127.0.0.1", 0))
        config = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, config)
        os.makedirs(os.path.join(config, "Zelkor", "Kestrum"))
        with open(os.path.join(config, "Zelkor", "Kestrum", "SMTP.reg"), "w") as f:
            f.write('Windows Registry Editor Version 5.00\n\n'
                    '[HKEY_CURRENT_USER\\software\\Zelkor\\Kestrum\\SMTP]\n'
                    '"Server"="127.0.0.1"\n"Port"="%d"\n' % refusing.getsockname()[1])
        mailer = self.start("Subject", "Body", program=PROGRAM,
                            env=dict(self.env, XDG_CONFIG_HOME=config))

        box = self.find_window(DIALOG_TITLE)
        self.wait_for_focus(box)
        self.screenshot(box, "message-box")
        self.assertNotEqual(self.geometry(box), dialog_size, "the dialog came first")
        self.assertEqual(self.visible_windows(DIALOG_TITLE), [box], "both windows at once")
        self.assertIsNone(mailer.poll())

        self.xdotool("key", "Return")
        self.wait_until(lambda: [w for w in self.visible_windows(DIALOG_TITLE) if w != box],
                        "no dialog after the message box")
        dialog = self.find_window(DIALOG_TITLE)
        self.wait_for_focus(dialog)
        self.assertEqual(self.geometry(dialog), dialog_size)
        self.screenshot(dialog, "result-dialog")
        self.xdotool("key", "Return")
        self.assertEqual(self.finish(mailer), (1, "", ""))

    def test_unattended_failing_run_ends_by_itself_after_both_windows(self):
        # A settings file that cannot be parsed (named on standard error first, display
        # or not), so the defaults hold: no server, and the connection fails at once.
        config = self.settings('"Server"="127.0.0.1" ; local\n')
        started = time.monotonic()
        mailer = self.start("Subject", "Body", program=PROGRAM,
                            env=dict(self.env, XDG_CONFIG_HOME=config))
        box = self.find_window(DIALOG_TITLE)
        self.wait_until(lambda: [w for w in self.visible_windows(DIALOG_TITLE) if w != box],
                        "no dialog after the message box")
        code, stdout, stderr = self.finish(mailer)
        elapsed = time.monotonic() - started
        self.assertEqual((code, stdout), (1, ""))
        settings = os.path.join(config, "Zelkor", "Kestrum", "SMTP.reg")
        self.assertEqual(stderr, "e-mailer: %s:4: text follows the closing quote; the defaults "
                         "are used instead\ne-mailer: no SMTP server: set Server in %s\n"
                         % (settings, settings))
        # Ten seconds for each window, and no more than the windows' 20 s in all (the
        # bound beyond them only absorbs a slow machine).
        self.assertGreaterEqual(elapsed, 2 * AUTO_CLOSE_SECONDS)
        self.assertLess(elapsed, 2 * AUTO_CLOSE_SECONDS + WAIT)

    # --- without windows ----------------------------------------------------------------

    def expect_standard_error(self, program, env):
        self.assertEqual(self.finish(self.start("dialog", THREE_LINES, program=program, env=env)),
                         (0, "IDOK\n", "window_probe: %s\n" % THREE_LINES))
        self.assertEqual(
            self.finish(self.start("report", "10061", program=program, env=env)),
            (0, "reported\n", "window_probe: The connection was refused by the remote host.\n"))

    def test_without_a_display_texts_go_to_standard_error(self):
        env = dict(self.env)
        del env["DISPLAY"]
        self.expect_standard_error(PROBE, env)

    def test_with_an_unreachable_display_texts_go_to_standard_error(self):
        self.expect_standard_error(PROBE, dict(self.env, DISPLAY=":65000"))

    def test_without_the_window_module_texts_go_to_standard_error(self):
        folder = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, folder)
        alone = shutil.copy(PROBE, folder)
        self.expect_standard_error(alone, self.env)


if __name__ == "__main__":
    unittest.main()
