"""End-to-end tests of the menu: the real binary under its own Xvfb, driven
by real X key events, checked on screenshots against texts drawn with the
program's own font."""
import os
import subprocess
import time
import unittest

from yltest import App, BINARY, assert_text, text_mismatch, wait_until

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
    """Presses Up/Down until `target` is highlighted. A held arrow acts once
    per 5 steps, so each press is short; after it the screen, not the timing,
    decides whether the press took effect and whether another is needed."""
    for _ in range(tries):
        now = highlighted(app, labels)
        if now == target:
            return
        if now is not None:
            app.hold("Down" if now < target else "Up", 0.04)
            try:
                wait_until(lambda: highlighted(app, labels) != now, 1, 0.05)
            except TimeoutError:
                pass  # the press fell between two steps: press again
        time.sleep(0.12)  # more than 5 steps with no arrow down
    raise AssertionError("could not highlight %r" % labels[target])


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


if __name__ == "__main__":
    unittest.main()
