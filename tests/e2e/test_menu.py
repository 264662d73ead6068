"""End-to-end tests of the menu: the real binary under its own Xvfb, driven
by real X key events, checked on screenshots against texts drawn with the
program's own font."""
import os
import subprocess
import time
import unittest

from yltest import App, BINARY, Display, assert_text, step_to, text_mismatch, wait_until

BASE_X = 160
MAIN = ["HOST CHAT", "JOIN CHAT", "EXIT"]
HOST = ["START", "NAME", "PORT", "KEY", "TEXT COLOR", "CANCEL"]
JOIN = ["START", "NAME", "HOST IP", "PORT", "KEY", "TEXT COLOR", "CANCEL"]
ITEM, HIGHLIGHT, FIELD = 15, 12, 255


def item_y(i):
    return 100 + 50 * i


def shows_screen(app, labels, item):
    """True when the window shows exactly `labels` with `item` highlighted."""
    shot = app.screenshot()
    return all(text_mismatch(shot, BASE_X, item_y(i), label, HIGHLIGHT if i == item else ITEM) == 0
               for i, label in enumerate(labels))


def highlighted(app, labels):
    shot = app.screenshot()
    for i, label in enumerate(labels):
        if text_mismatch(shot, BASE_X, item_y(i), label, HIGHLIGHT) == 0:
            return i
    return None


def move_to(app, labels, target, tries=20):
    """Presses Up/Down until `target` is highlighted."""
    step_to(app, lambda: highlighted(app, labels), target, "Up", "Down",
            "highlight %r" % labels[target], tries)


def choose(app, labels_after, item_after, tries=5):
    """Presses Enter until the screen `labels_after` shows `item_after`. A
    press missed by a busy program is pressed again; the wait for the screen
    is long enough that a press that did act is not followed by a second."""
    for _ in range(tries):
        app.hold("Return", 0.1)
        try:
            wait_until(lambda: shows_screen(app, labels_after, item_after), 5, 0.1)
            return
        except TimeoutError:
            continue
    raise AssertionError("Enter did not lead to %r" % labels_after[item_after])


class MenuTest(unittest.TestCase):
    def setUp(self):
        self.app = App()
        self.addCleanup(self.app.close)

    def start(self):
        self.app.wait_window("Yammerlane")
        wait_until(lambda: shows_screen(self.app, MAIN, 1), 10, 0.1)

    def test_title_and_main_screen(self):
        self.app.wait_window("Yammerlane")
        wait_until(lambda: shows_screen(self.app, MAIN, 1), 10, 0.1)
        shot = self.app.screenshot()
        self.assertEqual((shot.width, shot.height), (640, 480))
        assert_text(shot, BASE_X, item_y(0), "HOST CHAT", ITEM)
        assert_text(shot, BASE_X, item_y(1), "JOIN CHAT", HIGHLIGHT)
        assert_text(shot, BASE_X, item_y(2), "EXIT", ITEM)
        # Nothing else is drawn: only black, white and the highlight red.
        self.assertEqual(shot.colours(0, 0, 640, 480), {(0, 0, 0), (255, 255, 255), (255, 85, 85)})
        self.assertEqual(shot.colours(0, 0, 640, 100) | shot.colours(0, 216, 640, 264), {(0, 0, 0)})

    def test_name_keeps_nine_of_twelve(self):
        self.start()
        choose(self.app, JOIN, 1)
        self.app.type("abcdefghijkl")
        # The field's text touches the top line of its box, so only the
        # text's own pixels are compared, and the cell after it must be empty.
        field = lambda shot: text_mismatch(shot, BASE_X + 200, item_y(1), "abcdefghi", FIELD, bg=None)
        wait_until(lambda: field(self.app.screenshot()) == 0, 10, 0.1)
        time.sleep(0.5)  # room for the last three keys to arrive, were they kept
        shot = self.app.screenshot()
        self.assertEqual(field(shot), 0)
        self.assertEqual(shot.colours(BASE_X + 200 + 72, item_y(1) + 1, 80, 16), {(0, 0, 0)})
        # The box around the highlighted field, in white.
        self.assertEqual(shot.pixel(BASE_X + 200, item_y(1) + 30), (255, 255, 255))
        self.assertEqual(shot.pixel(BASE_X + 420, item_y(1)), (255, 255, 255))
        # Moving away hides the text; moving back shows it unchanged.
        move_to(self.app, JOIN, 2)
        shot = self.app.screenshot()
        self.assertEqual(shot.colours(BASE_X + 200, item_y(1), 240, 31), {(0, 0, 0)})
        move_to(self.app, JOIN, 1)
        self.assertEqual(field(self.app.screenshot()), 0)

    def test_cancel_returns_to_main_screen(self):
        self.start()
        choose(self.app, JOIN, 1)
        move_to(self.app, JOIN, 6)
        choose(self.app, MAIN, 1)
        # The host screen's CANCEL too, and its colour sample.
        move_to(self.app, MAIN, 0)
        choose(self.app, HOST, 1)
        assert_text(self.app.screenshot(), BASE_X + 250, 300, "Text Color", 5)
        move_to(self.app, HOST, 5)
        choose(self.app, MAIN, 1)

    def test_port_is_shared_by_host_and_join(self):
        self.start()
        move_to(self.app, MAIN, 0)
        choose(self.app, HOST, 1)
        move_to(self.app, HOST, 2)
        self.app.type("247851")
        port = lambda i: text_mismatch(self.app.screenshot(), BASE_X + 200, item_y(i), "24785",
                                       FIELD, bg=None)
        wait_until(lambda: port(2) == 0, 10, 0.1)
        time.sleep(0.3)  # the sixth digit would have arrived by now
        self.assertEqual(self.app.screenshot().colours(BASE_X + 200 + 40, item_y(2) + 1, 40, 16),
                         {(0, 0, 0)})
        move_to(self.app, HOST, 5)
        choose(self.app, MAIN, 1)
        choose(self.app, JOIN, 1)
        move_to(self.app, JOIN, 3)
        self.assertEqual(port(3), 0)

    def test_exit_ends_with_status_zero(self):
        self.start()
        move_to(self.app, MAIN, 2)
        for _ in range(5):
            self.app.hold("Return", 0.1)
            try:
                self.assertEqual(self.app.wait_exit(3), 0)
                return
            except TimeoutError:
                continue
        self.fail("EXIT did not end the program")


class StartupFailureTest(unittest.TestCase):
    def test_missing_datafile(self):
        with App(data=False) as app:
            self.assertEqual(app.message_text(), "Error loading data file.\n")
            self.assertFalse(app.window_exists("Yammerlane"))
            app.dismiss_message()
            self.assertEqual(app.wait_exit(10), 255)
            self.assertFalse(app.window_exists("Yammerlane"))

    def test_no_display(self):
        env = {k: v for k, v in os.environ.items() if k != "DISPLAY"}
        done = subprocess.run([BINARY], env=env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, timeout=30)
        self.assertEqual(done.returncode, 255)
        self.assertIn(b"no usable display", done.stderr)

        # --help and --version answer without one; any other argument is
        # refused with the help, and nothing starts.
        answers = {}
        for args in (["--help"], ["--version"], ["--bogus"], ["--help", "extra"]):
            done = subprocess.run([BINARY] + args, env=env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                  stderr=subprocess.PIPE, timeout=30)
            answers[args[-1]] = (done.returncode, done.stdout.decode(), done.stderr.decode())
        self.assertEqual(answers["--help"][0], 0)
        self.assertIn("Usage: yammerlane [--help | --version]", answers["--help"][1])
        self.assertRegex(answers["--version"][1], r"^yammerlane \d+\.\d+\.\d+\n$")
        for refused in ("--bogus", "extra"):
            self.assertEqual(answers[refused][:2], (2, ""))
            self.assertIn(answers["--help"][1], answers[refused][2])
            self.assertNotIn("display", answers[refused][2])


class ScaleTest(unittest.TestCase):
    """The window that fits the desktop: the same 640 x 480 frame, each pixel
    shown N x N."""

    def start(self, size, **kwargs):
        display = Display(*size)
        self.addCleanup(display.close)
        app = App(display=display, **kwargs)
        self.addCleanup(app.close)
        app.wait_window()
        wait_until(lambda: shows_screen(app, MAIN, 1), 20, 0.1)
        return app

    def test_window_fits_the_desktop_and_bad_scales_are_refused(self):
        # The largest N up to 4 with 640N x 480N inside the desktop less 80
        # rows for panels; --scale 1 and YAMMERLANE_SCALE take precedence.
        for size, args, scale, window in (((1920, 1080), (), None, (1280, 960)),
                                          ((3840, 2160), (), None, (2560, 1920)),
                                          ((800, 600), (), None, (640, 480)),
                                          ((1920, 1080), ("--scale", "1"), None, (640, 480)),
                                          ((1920, 1080), (), 1, (640, 480))):
            with self.subTest(size=size, args=args, scale=scale):
                app = self.start(size, args=args, scale=scale)
                shot = app.window_shot()
                self.assertEqual((shot.width, shot.height), window)
                app.close()
        env = {k: v for k, v in os.environ.items() if k != "DISPLAY"}
        help_text = subprocess.run([BINARY, "--help"], env=env, stdout=subprocess.PIPE,
                                   timeout=30).stdout.decode()
        self.assertIn("--scale N", help_text)
        for value in ("0", "5", "x", ""):
            done = subprocess.run([BINARY, "--scale", value], env=env, stdin=subprocess.DEVNULL,
                                  stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=30)
            self.assertEqual((done.returncode, done.stdout), (2, b""), value)
            self.assertIn(help_text, done.stderr.decode())

    def test_scaled_frame_repeats_each_pixel(self):
        shots = {}
        for n in (1, 2, 3):
            app = self.start((2000, 1600), scale=n)
            move_to(app, MAIN, 0)
            choose(app, HOST, 1)   # a screen with texts, a box and the host's note
            shots[n] = app.window_shot()
            app.close()
        for n in (2, 3):
            self.assertEqual((shots[n].width, shots[n].height), (640 * n, 480 * n))
            self.assertTrue(shots[n].pixels == shots[1].scaled(n).pixels,
                            "the frame at scale %d is not scale 1's with each pixel %d x %d" % (n, n, n))


if __name__ == "__main__":
    unittest.main()
