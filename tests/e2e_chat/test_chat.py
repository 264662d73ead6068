"""End-to-end tests of the chat: real yammerlane processes, each under its
own Xvfb, driven by real X key events over UDP on 127.0.0.1, checked on
screenshots (glyphs compared with the same text drawn with Allegro's font)
and on the trace of posted lines and samples (YAMMERLANE_TRACE)."""
import os
import shutil
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
from yltest import App, Display, palette, text_mask, text_mismatch, wait_until  # noqa: E402

BASE_X = 160
MAIN = ["HOST CHAT", "JOIN CHAT", "EXIT"]
HOST = ["START", "NAME", "PORT", "TEXT COLOR", "CANCEL"]
JOIN = ["START", "NAME", "HOST IP", "PORT", "TEXT COLOR", "CANCEL"]
ITEM, HIGHLIGHT = 15, 12

LOG_X, LOG_Y = 25, 15       # the message log window on the screen
LOG_FILL = 15               # its fill colour
LINE_X = LOG_X + 10         # where each log line starts
PAGE = 25                   # lines on one page


def line_y(n):
    """Screen y of log line n (1-25) of the page."""
    return LOG_Y + 15 * n


# Each test has a UDP port of its own, so that tests can run side by side
# (the unit tests use 32010-32029, the benchmarks 32190-32199).
PORTS = {"host_and_two_clients": 32101, "host_alone_types_and_pages": 32102,
         "nobody_listening_shows_error_connecting": 32103,
         "bad_port_is_refused_and_menu_returns": 32104}


class Chatter:
    """One yammerlane process with its own display, folder and trace."""

    def __init__(self, port):
        self.workdir = tempfile.mkdtemp(prefix="ylchat-")
        self.trace_path = os.path.join(self.workdir, "trace.txt")
        self.display = Display()
        self.display.env["YAMMERLANE_TRACE"] = self.trace_path
        # No chat of these tests may take the default port 24785.
        self.app = App(display=self.display, workdir=self.workdir,
                       config="[internet]\nport = %d\n" % port)

    def close(self):
        self.app.close()
        self.display.close()
        shutil.rmtree(self.workdir, ignore_errors=True)

    # --- menu -------------------------------------------------------------
    def highlighted(self, labels):
        try:
            shot = self.app.screenshot()
        except (ValueError, RuntimeError):
            return None  # the window is being changed or covered
        for i, label in enumerate(labels):
            if text_mismatch(shot, BASE_X, 100 + 50 * i, label, HIGHLIGHT) == 0:
                return i
        return None

    def on_screen(self, labels):
        return self.highlighted(labels) is not None

    def move_to(self, labels, target, tries=30):
        for _ in range(tries):
            now = self.highlighted(labels)
            if now == target:
                return
            if now is not None:
                self.app.hold("Down" if now < target else "Up", 0.04)
            time.sleep(0.12)
        raise AssertionError("could not highlight %r" % labels[target])

    def enter_until(self, labels, tries=5):
        for _ in range(tries):
            self.app.hold("Return", 0.08)
            try:
                wait_until(lambda: self.on_screen(labels), 2, 0.1)
                return
            except TimeoutError:
                continue
        raise AssertionError("Enter did not lead to %r" % labels)

    def wait_menu(self, timeout=15):
        wait_until(lambda: self.highlighted(MAIN) == 1, timeout, 0.1)

    def set_field(self, labels, item, text):
        """Highlights a text field, empties it and types `text`."""
        self.move_to(labels, item)
        for _ in range(25):
            self.app.press("BackSpace")
        time.sleep(0.3)
        if text:
            self.app.type(text)
        time.sleep(0.3)

    def colour_shown(self, labels):
        """The palette index of the "Text Color" sample, or None."""
        y = 250 if labels is HOST else 300
        try:
            shot = self.app.screenshot()
        except (ValueError, RuntimeError):
            return None
        w, h, mask = text_mask("Text Color")
        for j in range(h):
            for i in range(w):
                if mask[j * w + i]:
                    rgb = shot.pixel(BASE_X + 250 + i, y + j)
                    for index in range(256):
                        if palette()[index] == rgb and text_mismatch(
                                shot, BASE_X + 250, y, "Text Color", index, bg=None) == 0:
                            return index
                    return None
        return None

    def colour_to(self, labels, item, target, tries=40):
        """Presses Left/Right on TEXT COLOR until the sample shows `target`;
        the screen, not the timing, decides whether another press is needed."""
        self.move_to(labels, item)
        for _ in range(tries):
            now = self.colour_shown(labels)
            if now == target:
                return
            if now is not None:
                self.app.hold("Right" if now < target else "Left", 0.04)
            time.sleep(0.12)
        raise AssertionError("could not pick colour %d" % target)

    def start_chat(self, labels):
        """Enter on START; the menu is gone when its item texts are."""
        self.move_to(labels, 0)
        for _ in range(5):
            self.app.hold("Return", 0.05)
            try:
                wait_until(lambda: not self.on_screen(labels), 3, 0.1)
                return
            except TimeoutError:
                continue
        raise AssertionError("START did not start the chat")

    def host(self, name, port_text="", colour=5):
        self.wait_menu()
        self.move_to(MAIN, 0)
        self.enter_until(HOST)
        self.set_field(HOST, 1, name)
        self.set_field(HOST, 2, port_text)
        self.colour_to(HOST, 3, colour)
        self.start_chat(HOST)

    def join(self, name, address, port_text="", colour=5):
        self.wait_menu()
        self.move_to(MAIN, 1)
        self.enter_until(JOIN)
        self.set_field(JOIN, 1, name)
        self.set_field(JOIN, 2, address)
        self.set_field(JOIN, 3, port_text)
        self.colour_to(JOIN, 4, colour)
        self.start_chat(JOIN)

    # --- chat -------------------------------------------------------------
    def say(self, text):
        self.app.type(text)
        time.sleep(0.3)  # the chat takes one key per step
        self.app.hold("Return", 0.1)

    def key(self, keysym):
        self.app.hold(keysym, 0.1)

    def events(self):
        """Trace lines without their time field: "post 5 Hosty: hi", "sound 6"."""
        try:
            with open(self.trace_path) as f:
                return [line.rstrip("\n").split(" ", 1)[1] for line in f if " " in line]
        except OSError:
            return []

    def count(self, event):
        return self.events().count(event)

    def wait_event(self, event, times=1, timeout=10):
        try:
            wait_until(lambda: self.count(event) >= times, timeout, 0.05)
        except TimeoutError:
            raise AssertionError("%r not seen %d time(s); the trace holds:\n  %s"
                                 % (event, times, "\n  ".join(self.events())))

    def rows_showing(self, text, colour):
        """Log rows (1-25) of the current screen that show `text` exactly."""
        shot = self.app.screenshot()
        fill = palette()[LOG_FILL]
        return [n for n in range(1, PAGE + 1)
                if text_mismatch(shot, LINE_X, line_y(n), text, colour, font="default", bg=fill) == 0]

    def wait_rows(self, text, colour, count=1, timeout=5):
        """Waits until `text` shows on exactly `count` rows; returns them."""
        try:
            return wait_until(lambda: (lambda r: r if len(r) == count else None)(
                self.rows_showing(text, colour)), timeout, 0.1)
        except TimeoutError:
            raise AssertionError("%r in colour %d is shown on rows %s, not %d time(s)"
                                 % (text, colour, self.rows_showing(text, colour), count))


class ChatTestCase(unittest.TestCase):
    def port(self):
        return PORTS[self._testMethodName[len("test_"):]]

    def chatter(self, port):
        c = Chatter(port)
        self.addCleanup(c.close)
        return c


class ThreeWayChatTest(ChatTestCase):
    def test_host_and_two_clients(self):
        port = self.port()
        h, a, b = self.chatter(port), self.chatter(port), self.chatter(port)
        for c in (h, a, b):
            c.app.wait_window()

        h.host("Hosty", str(port))                  # colour 5
        h.wait_event("post 0 Server: A new user joined the chat", 0)
        # Alice names the port in the address, Bob in the PORT field.
        a.join("Alice", "127.0.0.1:%d" % port, "", colour=8)      # colour 8
        a.wait_event("post 8 Alice: my number 2")
        h.wait_event("post 8 Alice: Im the new guy!")
        b.join("Bob", "127.0.0.1", str(port), colour=11)           # colour 11
        b.wait_event("post 11 Bob: my number 3")
        a.wait_event("post 11 Bob: Got a join packet")

        # A line from Alice: once at the host, once at Bob, only the echo at Alice.
        a.say("hello from alice")
        line = "Alice: hello from alice"
        h.wait_event("post 8 " + line)
        b.wait_event("post 8 " + line)
        time.sleep(0.5)
        for c in (h, a, b):
            self.assertEqual(1, c.count("post 8 " + line))
            c.wait_rows(line, 8)
        self.assertEqual(2, h.count("sound 6"))     # shown and relayed

        # A line from the host reaches both clients in the host's colour.
        h.say("welcome all")
        for c in (a, b):
            c.wait_event("post 5 Hosty: welcome all")
            c.wait_rows("Hosty: welcome all", 5)
        h.wait_rows("Hosty: welcome all", 5)

        change = "post 0 Server: Lets change it up a bit!"
        # F1 at a client: twice there (its own and the host's echo), once elsewhere.
        a.key("F1")
        a.wait_event(change, 2)
        h.wait_event(change)
        b.wait_event(change)
        time.sleep(0.5)
        self.assertEqual([2, 1, 1], [c.count(change) for c in (a, h, b)])
        # The notice stands alone on the new page of each log.
        for c in (a, h, b):
            self.assertEqual([1], c.wait_rows("Server: Lets change it up a bit!", 0))

        # F2 at a client: the alert at every machine, twice at the client.
        a.key("F2")
        a.wait_event("sound 2", 2)
        h.wait_event("sound 2")
        b.wait_event("sound 2")
        # F3 at a client: only the host shows the number.
        a.key("F3")
        h.wait_event("post 0 Number test: 2345")
        time.sleep(0.5)
        self.assertEqual(0, a.count("post 0 Number test: 2345"))
        self.assertEqual(0, b.count("post 0 Number test: 2345"))

        # F1, F2, F3 at the host: once everywhere; the number only at the clients.
        h.key("F1")
        for c, n in ((h, 2), (a, 3), (b, 2)):
            c.wait_event(change, n)
        h.key("F2")
        for c, n in ((h, 2), (a, 3), (b, 2)):
            c.wait_event("sound 2", n)
        h.key("F3")
        for c in (a, b):
            c.wait_event("post 0 Number test: 2345")
            c.wait_rows("Number test: 2345", 0)
        time.sleep(0.5)
        self.assertEqual(1, h.count("post 0 Number test: 2345"))

        # F4 lists every slot with "Test".
        b.key("F4")
        b.wait_event("post 11 Bob: Test")
        self.assertEqual(10, sum(1 for e in b.events() if e.endswith(": Test")))

        # Esc: everyone back at the menu.
        for c in (b, a, h):
            c.key("Escape")
        for c in (h, a, b):
            c.wait_menu()

        # A second chat in the same run: the fields are still filled in.
        h.move_to(MAIN, 0)
        h.enter_until(HOST)
        h.start_chat(HOST)
        a.move_to(MAIN, 1)
        a.enter_until(JOIN)
        a.start_chat(JOIN)
        a.wait_event("post 8 Alice: my number 2", 2)
        a.say("second round")
        h.wait_event("post 8 Alice: second round")
        h.wait_rows("Alice: second round", 8)
        for c in (a, h):
            c.key("Escape")
            c.wait_menu()


class HostAloneTest(ChatTestCase):
    def test_host_alone_types_and_pages(self):
        port = self.port()
        h = self.chatter(port)
        h.app.wait_window()
        h.host("Solo", "")   # the configured port
        h.say("just me")
        h.wait_event("post 5 Solo: just me")
        self.assertEqual([1], h.wait_rows("Solo: just me", 5))
        self.assertEqual(0, h.count("sound 6"))

        for n in range(2, PAGE + 1):
            h.say("line %d" % n)
            h.wait_event("post 5 Solo: line %d" % n)
        self.assertEqual([PAGE], h.wait_rows("Solo: line %d" % PAGE, 5))
        h.say("line 26")
        h.wait_event("post 5 Solo: line 26")
        self.assertEqual([1], h.wait_rows("Solo: line 26", 5))
        self.assertEqual([], h.rows_showing("Solo: line %d" % PAGE, 5))
        self.assertEqual([], h.rows_showing("Solo: just me", 5))
        h.key("Escape")
        h.wait_menu()


class JoinFailureTest(ChatTestCase):
    def test_nobody_listening_shows_error_connecting(self):
        port = self.port()
        c = self.chatter(port)
        c.app.wait_window()
        started = time.monotonic()
        c.join("Lonely", "127.0.0.1", str(port))
        self.assertEqual("Error connecting.", c.app.message_text(timeout=20).strip())
        self.assertGreater(time.monotonic() - started, 9)
        c.app.dismiss_message()
        c.wait_menu()

    def test_bad_port_is_refused_and_menu_returns(self):
        port = self.port()
        c = self.chatter(port)
        c.app.wait_window()
        c.host("Hosty", "70000")
        self.assertIn("PORT", c.app.message_text())
        c.app.dismiss_message()
        c.wait_menu()


if __name__ == "__main__":
    unittest.main()
