"""End-to-end tests of the chat: real yammerlane processes, each under its
own Xvfb, driven by real X key events over UDP on 127.0.0.1, checked on
screenshots (glyphs compared with the same text drawn with Allegro's font)
and on the trace of posted lines and samples (YAMMERLANE_TRACE)."""
import hashlib
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
from yltest import App, Display, _die_with_parent, claim_port, palette, step_to, text_mask, text_mismatch, wait_until  # noqa: E402

BASE_X = 160
MAIN = ["HOST CHAT", "JOIN CHAT", "EXIT"]
HOST = ["START", "NAME", "PORT", "KEY", "TEXT COLOR", "CANCEL"]
JOIN = ["START", "NAME", "HOST IP", "PORT", "KEY", "TEXT COLOR", "CANCEL"]
ITEM, HIGHLIGHT = 15, 12

LOG_X, LOG_Y = 25, 15       # the message log window on the screen
LOG_FILL = 15               # its fill colour
LINE_X = LOG_X + 10         # where each log line starts
PAGE = 25                   # lines on one page
BOX_FILL = 15               # fill of every chat window
TYPED_X, TYPED_Y = 130, 432  # the typed line in the text box (80 + 50, 430 + 2)
TYPED_END = 80 + 448        # inside the text box's right frame line
FIELD = 255                 # text of the highlighted menu field


def line_y(n):
    """Screen y of log line n (1-25) of the page."""
    return LOG_Y + 15 * n


class Chatter:
    """One yammerlane process with its own display, folder and trace."""

    def __init__(self, port, scale=1, size=(800, 600), env=None):
        self.workdir = tempfile.mkdtemp(prefix="ylchat-")
        self.trace_path = os.path.join(self.workdir, "trace.txt")
        self.display = Display(*size)
        self.display.env["YAMMERLANE_TRACE"] = self.trace_path
        # Files taken in a chat land in the test's folder, never in ~/Downloads.
        self.downloads = os.path.join(self.workdir, "downloads")
        self.display.env["XDG_DOWNLOAD_DIR"] = self.downloads
        self.display.env.update(env or {})
        # No chat of these tests may take the default port 24785.
        self.app = App(display=self.display, workdir=self.workdir,
                       config="[internet]\nport = %d\n" % port, scale=scale)

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
        step_to(self.app, lambda: self.highlighted(labels), target, "Up", "Down",
                "highlight %r" % labels[target], tries)

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

    def field_shows(self, item, text):
        """True when the highlighted text field `item` shows exactly `text`
        (KEY shows a star for each character)."""
        try:
            shot = self.app.screenshot()
        except (ValueError, RuntimeError):
            return False
        x, y = BASE_X + 200, 100 + 50 * item
        # The text touches the top line of the white box, so only its own
        # pixels count; after it the box holds nothing but the black backdrop.
        end = x
        if text:
            if text_mismatch(shot, x, y, text, FIELD, bg=None) != 0:
                return False
            end += text_mask(text)[0]
        return shot.colours(end + 1, y + 1, x + 219 - end, 28) == {palette()[0]}

    def set_field(self, labels, item, text, shown=None):
        """Highlights a text field, empties it and types `text` (which the
        field shows as `shown`, by default the text itself). The menu takes
        one key per frame: each stage waits until the field shows it, so that
        no key is left over for the next field or for the chat."""
        self.move_to(labels, item)
        for _ in range(45 if labels[item] == "KEY" else 25):
            self.app.press("BackSpace")
        for typed, looks in (("", ""), (text, text if shown is None else shown)) if text else (("", ""),):
            if typed:
                self.app.type(typed)
            try:
                wait_until(lambda: self.field_shows(item, looks), 10, 0.1)
            except TimeoutError:
                raise AssertionError("field %r does not show %r" % (labels[item], looks))

    def colour_shown(self, labels):
        """The palette index of the "Text Color" sample, or None."""
        y = 300 if labels is HOST else 350
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
        step_to(self.app, lambda: self.colour_shown(labels), target, "Left", "Right",
                "colour %d" % target, tries)

    def menu_state(self, labels, colour):
        """"menu", "loading" (START taken: the last menu frame shows
        "Loading..."), "gone" (another picture) or None (no screenshot)."""
        try:
            shot = self.app.screenshot()
        except (ValueError, RuntimeError):
            return None
        if text_mismatch(shot, BASE_X + 250, 1, "Loading...", colour, bg=None) == 0:
            return "loading"
        for i, label in enumerate(labels):
            if text_mismatch(shot, BASE_X, 100 + 50 * i, label, HIGHLIGHT) == 0:
                return "menu"
        return "gone"

    def start_chat(self, labels, colour, wait_chat=True):
        """Enter on START (pressed again only when the menu did not take it);
        with wait_chat, waits until the chat's first frame has replaced the
        menu (a client draws it once connected). The hold is short, as a
        user's press is; the chat ignores an Enter still down from START."""
        self.move_to(labels, 0)
        # A refused start opens a message box, which may cover "Loading...".
        self.press_until("Return", lambda: self.app._message_pid() is not None
                         or self.menu_state(labels, colour) in ("loading", "gone"),
                         "START", timeout=5, hold=0.05)
        if wait_chat:
            try:
                wait_until(lambda: self.menu_state(labels, colour) == "gone", 30, 0.1)
            except TimeoutError:
                raise AssertionError("START did not start the chat")

    def set_key(self, labels, key):
        """KEY (None: left as it is) is typed blind: it shows only stars."""
        if key is not None:
            self.set_field(labels, labels.index("KEY"), key, shown="*" * len(key))

    def host(self, name, port_text="", colour=5, wait_chat=True, key=None):
        self.wait_menu()
        self.move_to(MAIN, 0)
        self.enter_until(HOST)
        self.set_field(HOST, 1, name)
        self.set_field(HOST, 2, port_text)
        self.set_key(HOST, key)
        self.colour_to(HOST, 4, colour)
        self.start_chat(HOST, colour, wait_chat)

    def join(self, name, address, port_text="", colour=5, wait_chat=True, key=None):
        self.wait_menu()
        self.move_to(MAIN, 1)
        self.enter_until(JOIN)
        self.set_field(JOIN, 1, name)
        self.set_field(JOIN, 2, address)
        self.set_field(JOIN, 3, port_text)
        self.set_key(JOIN, key)
        self.colour_to(JOIN, 5, colour)
        self.start_chat(JOIN, colour, wait_chat)

    # --- keys -------------------------------------------------------------
    def press_until(self, keysym, evidence, what, tries=3, timeout=10, hold=0.25):
        """Holds `keysym` until `evidence()` shows that the program acted on it.
        The program samples the key array once per logic step, so a hold can
        fall between two steps of a starved process and go unseen; a hold
        that was seen acts once however long it lasts (the program waits for
        the release). Only a hold with no effect within `timeout` is repeated,
        and held longer (up to 0.25 s) in case it fell between two steps."""
        for _ in range(tries):
            self.app.hold(keysym, hold)
            try:
                wait_until(evidence, timeout, 0.05)
                return
            except TimeoutError:
                hold = max(hold, min(0.25, hold * 2))
                continue
        raise AssertionError("%s: %d holds of %s had no effect" % (what, tries, keysym))

    # --- chat -------------------------------------------------------------
    def typed_line(self, text, colour):
        """True when the chat's typing line shows exactly `text` in `colour`."""
        try:
            shot = self.app.screenshot()
        except (ValueError, RuntimeError):
            return False
        fill = palette()[BOX_FILL]
        if text and text_mismatch(shot, TYPED_X, TYPED_Y, text, colour, font="default", bg=fill) != 0:
            return False
        end = TYPED_X + 8 * len(text)
        return shot.colours(end, TYPED_Y, TYPED_END - end, 8) == {fill}

    def say(self, text, colour):
        """Types a line and sends it with Enter. The chat takes one key per
        step, so Enter waits until the typing line shows the whole text; the
        line is gone from it once Enter has been taken."""
        self.app.type(text)
        try:
            wait_until(lambda: self.typed_line(text, colour), 10, 0.1)
        except TimeoutError:
            raise AssertionError("the typing line does not show %r" % text)
        self.press_until("Return", lambda: self.typed_line("", colour), "line %r" % text)

    def key(self, keysym, evidence):
        """Presses a chat key until `evidence()` (see grows) shows its effect."""
        self.press_until(keysym, evidence, keysym)

    def grows(self, event):
        """A test that is true once `event` is in the trace more often than now."""
        before = self.count(event)
        return lambda: self.count(event) > before

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
        port, fd = claim_port()
        self.addCleanup(os.close, fd)
        return port

    def chatter(self, port, **kwargs):
        c = Chatter(port, **kwargs)
        self.addCleanup(c.close)
        return c

    def outside_private_net(self, test, timeout=220):
        """True after running test_chat.`test` again in a private network
        namespace of its own (only its loopback, up), which must pass; False
        when this run is that one."""
        if os.environ.get("YL_PRIVATE_NET"):
            return False
        if not shutil.which("unshare"):
            self.skipTest("unshare is missing: no private network for this test")
        probe = subprocess.run(["unshare", "--net", "ip", "link", "set", "lo", "up"],
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=30)
        if probe.returncode != 0:
            self.skipTest("unshare --net is refused here: not run")
        done = subprocess.run(
            ["unshare", "--net", "sh", "-c", "ip link set lo up && exec \"$0\" -m unittest test_chat." + test,
             sys.executable],
            env=dict(os.environ, YL_PRIVATE_NET="1"), cwd=os.path.dirname(os.path.abspath(__file__)),
            timeout=timeout, preexec_fn=_die_with_parent)
        self.assertEqual(0, done.returncode, "the run inside the private network failed (above)")
        return True


class ThreeWayChatTest(ChatTestCase):
    def test_host_and_two_clients(self):
        port = self.port()
        h, a, b = self.chatter(port), self.chatter(port), self.chatter(port)
        for c in (h, a, b):
            c.app.wait_window()

        h.host("Hosty", str(port))                                 # colour 5
        # Alice names the port in the address, Bob in the PORT field.
        a.join("Alice", "127.0.0.1:%d" % port, "", colour=8)      # colour 8
        a.wait_event("post 8 Alice: my number 2")
        h.wait_event("post 8 Alice: Im the new guy!")
        b.join("Bob", "127.0.0.1", str(port), colour=11)           # colour 11
        b.wait_event("post 11 Bob: my number 3")
        a.wait_event("post 11 Bob: Got a join packet")

        # A line from Alice: once at the host, once at Bob, only the echo at Alice.
        a.say("hello from alice", 8)
        line = "Alice: hello from alice"
        h.wait_event("post 8 " + line)
        b.wait_event("post 8 " + line)
        time.sleep(0.5)
        for c in (h, a, b):
            self.assertEqual(1, c.count("post 8 " + line))
            c.wait_rows(line, 8)
        self.assertEqual(2, h.count("sound 6"))     # shown and relayed

        # A line from the host reaches both clients in the host's colour.
        h.say("welcome all", 5)
        for c in (a, b):
            c.wait_event("post 5 Hosty: welcome all")
            c.wait_rows("Hosty: welcome all", 5)
        h.wait_rows("Hosty: welcome all", 5)

        change = "post 0 Server: Lets change it up a bit!"
        # F1 at a client: twice there (its own and the host's echo), once elsewhere.
        a.key("F1", a.grows(change))
        a.wait_event(change, 2)
        h.wait_event(change)
        b.wait_event(change)
        time.sleep(0.5)
        self.assertEqual([2, 1, 1], [c.count(change) for c in (a, h, b)])
        # The notice stands alone on the new page of each log.
        for c in (a, h, b):
            self.assertEqual([1], c.wait_rows("Server: Lets change it up a bit!", 0))

        # F2 at a client: the alert at every machine, twice at the client.
        a.key("F2", a.grows("sound 2"))
        a.wait_event("sound 2", 2)
        h.wait_event("sound 2")
        b.wait_event("sound 2")
        # F3 at a client: only the host shows the number.
        number = "post 0 Number test: 2345"
        a.key("F3", h.grows(number))
        time.sleep(0.5)
        self.assertEqual(0, a.count(number))
        self.assertEqual(0, b.count(number))

        # F1, F2, F3 at the host: once everywhere; the number only at the clients.
        h.key("F1", h.grows(change))
        for c, n in ((h, 2), (a, 3), (b, 2)):
            c.wait_event(change, n)
        h.key("F2", h.grows("sound 2"))
        for c, n in ((h, 2), (a, 3), (b, 2)):
            c.wait_event("sound 2", n)
        h.key("F3", a.grows(number))
        for c in (a, b):
            c.wait_event(number)
            c.wait_rows("Number test: 2345", 0)
        time.sleep(0.5)
        self.assertEqual(1, h.count(number))

        # F4 lists every slot with "Test".
        b.key("F4", b.grows("post 11 Bob: Test"))
        self.assertEqual(10, sum(1 for e in b.events() if e.endswith(": Test")))

        # Esc: everyone back at the menu.
        for c in (b, a, h):
            c.key("Escape", lambda c=c: c.highlighted(MAIN) == 1)

        # A second chat in the same run: the fields are still filled in.
        h.move_to(MAIN, 0)
        h.enter_until(HOST)
        h.start_chat(HOST, 5)
        a.move_to(MAIN, 1)
        a.enter_until(JOIN)
        a.start_chat(JOIN, 8)
        a.wait_event("post 8 Alice: my number 2", 2)
        a.say("second round", 8)
        h.wait_event("post 8 Alice: second round")
        h.wait_rows("Alice: second round", 8)
        for c in (a, h):
            c.key("Escape", lambda c=c: c.highlighted(MAIN) == 1)


class HostAloneTest(ChatTestCase):
    def test_host_alone_types_and_pages(self):
        port = self.port()
        h = self.chatter(port)
        h.app.wait_window()
        h.host("Solo", "")   # the configured port
        # The host is told where others can join: an address and the port.
        joins = wait_until(lambda: [e for e in h.events()
                                    if e.startswith("post 0 Server: Others can join at ")], 10, 0.05)
        for line in joins:
            self.assertRegex(line, r" at \d+\.\d+\.\d+\.\d+ port %d$" % port)
        h.say("just me", 5)
        h.wait_event("post 5 Solo: just me")
        self.assertEqual([1 + len(joins)], h.wait_rows("Solo: just me", 5))
        self.assertEqual(0, h.count("sound 6"))

        last = PAGE - len(joins)   # the line that fills the page
        for n in range(2, last + 1):
            h.say("line %d" % n, 5)
            h.wait_event("post 5 Solo: line %d" % n)
        self.assertEqual([PAGE], h.wait_rows("Solo: line %d" % last, 5))
        h.say("line 26", 5)
        h.wait_event("post 5 Solo: line 26")
        self.assertEqual([1], h.wait_rows("Solo: line 26", 5))
        self.assertEqual([], h.rows_showing("Solo: line %d" % last, 5))
        self.assertEqual([], h.rows_showing("Solo: just me", 5))
        h.key("Escape", lambda: h.highlighted(MAIN) == 1)


class JoinFailureTest(ChatTestCase):
    def test_nobody_listening_shows_error_connecting(self):
        port = self.port()   # claimed, so no host of these tests is there
        c = self.chatter(port)
        c.app.wait_window()
        c.join("Lonely", "127.0.0.1", str(port), wait_chat=False)
        started = time.monotonic()   # START has been taken
        self.assertEqual("Error connecting.\nNobody answered at 127.0.0.1:%d for 10 seconds" % port,
                         c.app.message_text(timeout=30).strip())
        self.assertGreater(time.monotonic() - started, 8)
        c.app.dismiss_message()
        c.wait_menu()

    def test_port_taken_by_another_program_says_so(self):
        port = self.port()
        taken = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        try:
            taken.bind(("127.0.0.1", port))
            c = self.chatter(port)
            c.app.wait_window()
            c.host("Hosty", str(port), wait_chat=False)
            self.assertEqual("Error opening conn\nUDP port %d is in use by another program" % port,
                             c.app.message_text().strip())
            c.app.dismiss_message()
            c.wait_menu()
        finally:
            taken.close()

    def test_bad_port_is_refused_and_menu_returns(self):
        port = self.port()
        c = self.chatter(port)
        c.app.wait_window()
        c.host("Hosty", "70000", wait_chat=False)
        self.assertIn("PORT", c.app.message_text())
        c.app.dismiss_message()
        c.wait_menu()


class HostileParticipantTest(ChatTestCase):
    """A real host under a flood from one participant and a stranger
    (tests/e2e_chat/hostile_peers.cpp plays every peer): the honest lines
    get through once and in order, a late client joins, the host keeps
    stepping. Its slowest step and frame are printed, not asserted."""

    LINES = 100

    def run_peers(self, order):
        port = self.port()
        h = self.chatter(port)
        h.app.wait_window()
        h.host("Hosty", str(port))
        peers = subprocess.run([os.environ["YL_HOSTILE"], str(port), order, str(self.LINES)],
                               capture_output=True, text=True, timeout=150)
        print(peers.stdout, end="")
        self.assertEqual(0, peers.returncode, peers.stdout + peers.stderr)
        # The host showed each honest line once, in order.
        events = h.events()
        for name, mark in (("Alice", "A"), ("Bobby", "B")):
            shown = [e.split(": ", 1)[1] for e in events
                     if e.startswith("post ") and " %s: %s " % (name, mark) in e]
            self.assertEqual(["%s %03d" % (mark, k) for k in range(self.LINES)], shown)
        slowest = {}
        for e in events:
            if e.startswith("slowest "):
                _, what, us = e.split()
                slowest[what] = int(us) / 1000.0
        print("host's slowest step %.1f ms, slowest frame %.1f ms"
              % (slowest.get("step", 0), slowest.get("frame", 0)))

    def test_flooder_joins_first(self):
        self.run_peers("flooder-first")

    def test_flooder_joins_last(self):
        self.run_peers("flooder-last")


class StrangerTest(ChatTestCase):
    """A stranger at 127.0.0.2 sends 10 and then 2,000 connect requests and
    never speaks: honest clients still join at once each time, the host's
    descriptors stay bounded, and nobody but them shows up in the chat."""

    def test_connect_flood_leaves_places_free(self):
        port = self.port()
        h = self.chatter(port)
        h.app.wait_window()
        h.host("Hosty", str(port))
        peers = subprocess.run([os.environ["YL_HOSTILE"], str(port), "strangers", str(h.app.pid)],
                               capture_output=True, text=True, timeout=60)
        print(peers.stdout, end="")
        self.assertEqual(0, peers.returncode, peers.stdout + peers.stderr)
        joined = [e for e in h.events() if e.startswith("post ") and "Im the new guy!" in e]
        self.assertEqual(2, len(joined), joined)


class PrivateChatTest(ChatTestCase):
    """Two programs that share a KEY chat both ways; a third without it is
    refused with its message and no place."""

    def test_shared_key_chats_and_keyless_is_refused(self):
        port = self.port()
        h, a, n = self.chatter(port), self.chatter(port), self.chatter(port)
        for c in (h, a, n):
            c.app.wait_window()
        key = "plum orbit canvas tide"
        h.host("Hosty", str(port), key=key)
        a.join("Alice", "127.0.0.1", str(port), colour=8, key=key)
        a.wait_event("post 8 Alice: my number 2")
        a.say("sealed hello", 8)
        h.wait_event("post 8 Alice: sealed hello")
        h.wait_rows("Alice: sealed hello", 8)
        h.say("sealed reply", 5)
        a.wait_event("post 5 Hosty: sealed reply")
        a.wait_rows("Hosty: sealed reply", 5)

        joins = a.count("post 0 Server: A new user joined the chat")
        n.join("Nokey", "127.0.0.1", str(port), wait_chat=False)
        self.assertEqual("This chat needs a key", n.app.message_text(timeout=20).strip())
        n.app.dismiss_message()
        n.wait_menu()
        self.assertFalse(any("Nokey" in e for e in h.events()))
        self.assertEqual(joins, a.count("post 0 Server: A new user joined the chat"))


class KeyedStrangersTest(ChatTestCase):
    """A keyed chat keeps its users whatever strangers do,
    in a private network namespace where every address of 127.0.0.0/8 is
    this test's: design-following keyed clients of plain sockets
    (tests/e2e_chat/keyed_peers.cpp) join, strangers try a wrong key, clear
    packets, a replay, a replayed and an altered "Seal", five wrong keys and
    then the right one from one address and port, a request in Alice's
    address; then the real program joins and must find every user, and the
    lines must flow."""

    def test_users_stay_through_guesses_and_replays(self):
        if self.outside_private_net("KeyedStrangersTest.test_users_stay_through_guesses_and_replays"):
            return
        port = 24001   # the namespace is this test's alone
        key = "plum orbit canvas tide"
        h, r = self.chatter(port), self.chatter(port)
        for c in (h, r):
            c.app.wait_window()
        h.host("Hosty", str(port), key=key)
        marks = tempfile.mkdtemp(prefix="ylkeyed-")
        self.addCleanup(shutil.rmtree, marks, True)
        ready, go = os.path.join(marks, "ready"), os.path.join(marks, "go")
        peers = subprocess.Popen([os.environ["YL_KEYED"], str(port), key, ready, go],
                                 stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                                 preexec_fn=_die_with_parent)

        def stop_peers():
            """What the peers saw, when the test ends before they do."""
            if peers.poll() is None:
                peers.kill()
                print(peers.communicate(timeout=10)[0], end="")
        self.addCleanup(stop_peers)
        try:
            wait_until(lambda: os.path.exists(ready) or peers.poll() is not None, 120, 0.2)
        except TimeoutError:
            pass
        self.assertTrue(os.path.exists(ready), "the peers did not get through steps 1-3:\n"
                        + (peers.communicate(timeout=10)[0] if peers.poll() is not None else ""))
        # 4. The real program joins from 127.0.0.1 and finds both users.
        r.join("Real", "127.0.0.1", str(port), colour=8, key=key)
        r.wait_event("post 8 Real: my number 5", timeout=20)
        for name in ("Alice", "Bobby", "Nine"):
            r.wait_event("post 9 %s: Got a join packet" % name)
        open(go, "w").close()
        r.wait_event("post 9 Alice: a three")
        r.wait_event("post 9 Bobby: b three")
        out = peers.communicate(timeout=60)[0]
        print(out, end="")
        self.assertEqual(0, peers.returncode, out)
        h.wait_event("post 9 Alice: a three")
        strangers = ("Wrong", "Guess", "Late", "Clear", "Replay")
        self.assertFalse(any(s in e for s in strangers for e in h.events() if e.startswith("post ")))
        self.assertFalse(any(" left the chat" in e and ("Alice" in e or "Bobby" in e) for e in h.events()))


class ScrollbackTest(ChatTestCase):
    """A host that a client following the chat's rules sends 100 lines pages
    back through them; the live page comes back pixel for pixel."""

    NOTE_X, NOTE_Y = LINE_X, LOG_Y + 400 - 12   # the note under the last row

    def log(self, h):
        return h.app.screenshot().crop(LOG_X, LOG_Y, 500, 400)

    def posts(self, h):
        """(colour, "who: text") of every line posted, in order."""
        return [(int(e.split(" ", 2)[1]), e.split(" ", 2)[2]) for e in h.events() if e.startswith("post ")]

    def row_shows(self, shot, row, post):
        return text_mismatch(shot, LINE_X, line_y(row), post[1], post[0], font="default",
                             bg=palette()[LOG_FILL]) == 0

    def note_is(self, h, text):
        return text_mismatch(h.app.screenshot(), self.NOTE_X, self.NOTE_Y, text, 0, font="default",
                             bg=palette()[LOG_FILL]) == 0

    def test_pages_back_through_a_hundred_lines(self):
        port = self.port()
        h = self.chatter(port)
        h.app.wait_window()
        h.host("Hosty", str(port))
        talker = subprocess.Popen([os.environ["YL_HOSTILE"], str(port), "talker", "100"],
                                  stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        self.addCleanup(lambda: (talker.kill(), talker.wait(10)))
        h.wait_event("post 7 Talker: T 099", timeout=30)
        time.sleep(0.5)   # the frames after it
        posts = self.posts(h)
        shot = h.app.screenshot()
        live = shot.crop(LOG_X, LOG_Y, 500, 400)
        # The live page: its first row is line `first` of the run.
        first = next(i for i in range(len(posts) - 1, -1, -1) if self.row_shows(shot, 1, posts[i]))
        on_page = len(posts) - first
        self.assertTrue(self.row_shows(shot, on_page, posts[-1]))
        self.assertGreater(first, PAGE)

        # PgUp: the page before, with its note; End: the live page again.
        h.key("Prior", lambda: self.note_is(h, "-1 page, 0 new, End returns"))
        shot = h.app.screenshot()
        for row in range(1, PAGE + 1):
            self.assertTrue(self.row_shows(shot, row, posts[first - PAGE + row - 1]), row)
        h.key("End", lambda: self.log(h).pixels == live.pixels)

        # The wheel: three lines a notch, back and forth.
        h.app.display.run("xdotool", "mousemove", "--window", str(h.app.window), "200", "200",
                          "click", "4")
        wait_until(lambda: self.row_shows(h.app.screenshot(), 1, posts[first - 3]), 5, 0.1)
        self.assertTrue(self.row_shows(h.app.screenshot(), 4, posts[first]))
        h.app.display.run("xdotool", "click", "5")
        wait_until(lambda: self.log(h).pixels == live.pixels, 5, 0.1)

        # Scrolled back, a new line and a typed one leave the view where it
        # is and raise the count; Enter sends as ever.
        h.key("Home", lambda: self.row_shows(h.app.screenshot(), 1, posts[0]))
        before = self.log(h).crop(0, 0, 500, 385).pixels
        talker.stdin.write("while you read\n")
        talker.stdin.flush()
        h.wait_event("post 7 Talker: while you read")
        h.say("typed while back", 5)
        h.wait_event("post 5 Hosty: typed while back")
        pages = (first + PAGE - 1) // PAGE + (1 if on_page + 2 > PAGE else 0)
        wait_until(lambda: self.note_is(h, "-%d pages, 2 new, End returns" % pages), 5, 0.1)
        self.assertTrue(self.log(h).crop(0, 0, 500, 385).pixels == before)
        h.key("End", lambda: h.rows_showing("Hosty: typed while back", 5))
        h.wait_rows("Talker: while you read", 7)
        talker.stdin.close()
        self.assertEqual(0, talker.wait(10))


class ScaledChatTest(ChatTestCase):
    """A chat between a window scaled twice (chosen from a 1920 x 1080
    desktop) and one scaled three times (YAMMERLANE_SCALE): the chat, the
    connect wait and a failure box at those scales."""

    def repeated(self, c, n):
        """True when the window is 640n x 480n and each n x n block one colour."""
        try:
            shot = c.app.window_shot()
        except (ValueError, RuntimeError):
            return False
        return ((shot.width, shot.height) == (640 * n, 480 * n)
                and shot.pixels == shot.sampled(n).scaled(n).pixels)

    def test_chat_connect_wait_and_failure_at_scales(self):
        port = self.port()
        h = self.chatter(port, scale=None, size=(1920, 1080))
        a = self.chatter(port, scale=3, size=(2000, 1600))
        for c in (h, a):
            c.app.wait_window()
        h.host("Hosty", str(port))
        a.join("Alice", "127.0.0.1", str(port), colour=8)
        a.wait_event("post 8 Alice: my number 2")
        a.say("scaled hello", 8)
        for c in (h, a):
            c.wait_event("post 8 Alice: scaled hello")
            c.wait_rows("Alice: scaled hello", 8)
        # A frame may be caught half copied: the next one serves.
        wait_until(lambda: self.repeated(h, 2), 10, 0.2)
        wait_until(lambda: self.repeated(a, 3), 10, 0.2)

        for c in (a, h):
            c.key("Escape", lambda c=c: c.highlighted(MAIN) == 1)

        # A join where nobody listens: the wait's frame, then the box.
        lonely = self.port()
        h.join("Hosty", "127.0.0.1", str(lonely), wait_chat=False)
        fill = palette()[BOX_FILL]
        wait_until(lambda: text_mismatch(h.app.screenshot(), 140, 200, "Connecting to 127.0.0.1:%d" % lonely,
                                         0, font="default", bg=fill) == 0, 10, 0.1)
        self.assertTrue(self.repeated(h, 2))
        self.assertEqual("Error connecting.\nNobody answered at 127.0.0.1:%d for 10 seconds" % lonely,
                         h.app.message_text(timeout=30).strip())
        h.app.dismiss_message()
        h.wait_menu()
        self.assertTrue(self.repeated(h, 2))


def sha256(path):
    digest = hashlib.sha256()
    with open(path, "rb") as f:
        for chunk in iter(lambda: f.read(1 << 20), b""):
            digest.update(chunk)
    return digest.hexdigest()


class FileTransferTest(ChatTestCase):
    """Files offered with F6 (the path typed into the selector) and taken
    with F7, between a host and two clients in a private network: 10 MiB to
    two takers, 1 byte, an empty file, and a line that passes a 50 MiB
    transfer; the chat goes on while the selector is open."""

    SIZES = {"ten.bin": 10 << 20, "one.bin": 1, "empty.bin": 0, "fifty.bin": 50 << 20}
    SHOWN = {"ten.bin": "10.0 MiB", "one.bin": "1 B", "empty.bin": "0 B", "fifty.bin": "50.0 MiB"}

    def offer(self, c, name):
        """F6, the name typed into the selector (it opens in the files'
        folder), Enter: the offer's line."""
        shown = c.grows("post 0 Server: You offer %s (%s)" % (name, self.SHOWN[name]))
        self.open_selector(c)
        c.app.type(name)
        c.app.hold("Return", 0.05)
        wait_until(shown, 10, 0.05)

    def open_selector(self, c):
        """F6 until the selector covers the middle of the log."""
        middle = lambda: c.app.screenshot().crop(150, 200, 300, 100).pixels
        before = middle()
        c.key("F6", lambda: middle() != before)

    def saved(self, c, name):
        return "post 0 Server: saved to %s/Yammerlane/%s" % (c.downloads, name)

    def take(self, c, name, sender="Alice"):
        c.key("F7", c.grows("post 0 Server: Taking %s from %s" % (name, sender)))

    def when(self, c, event):
        """Trace time (ms, the machine's steady clock) at which `event` was first posted."""
        with open(c.trace_path) as f:
            for line in f:
                at, _, rest = line.rstrip("\n").partition(" ")
                if rest == event:
                    return int(at)
        return None

    def test_offer_take_and_talk_through_a_transfer(self):
        if self.outside_private_net("FileTransferTest.test_offer_take_and_talk_through_a_transfer"):
            return
        port = 24002   # the namespace is this test's alone
        files = tempfile.mkdtemp(prefix="ylfiles-")
        self.addCleanup(shutil.rmtree, files, True)
        for name, size in self.SIZES.items():
            with open(os.path.join(files, name), "wb") as f:
                f.write(os.urandom(size))
        # Alice's selector opens in $HOME: the test's files are there.
        h, a, b = self.chatter(port), self.chatter(port, env={"HOME": files}), self.chatter(port)
        for c in (h, a, b):
            c.app.wait_window()
        h.host("Hosty", str(port))
        a.join("Alice", "127.0.0.1", str(port), colour=8)
        a.wait_event("post 8 Alice: my number 2")
        b.join("Bob", "127.0.0.1", str(port), colour=11)
        b.wait_event("post 11 Bob: my number 3")
        a.wait_event("post 11 Bob: Got a join packet")

        # While Alice's selector is open her chat goes on: a line reaches her.
        self.open_selector(a)
        b.say("while you browse", 11)
        a.wait_event("post 11 Bob: while you browse", timeout=5)
        a.app.hold("Escape", 0.05)
        time.sleep(0.5)
        self.assertTrue(a.app.running())
        self.assertFalse(any("left the chat" in e for e in h.events()))

        # 10 MiB to Bob and to the host: identical bytes at both.
        self.offer(a, "ten.bin")
        for c in (b, h):
            c.wait_event("post 0 Server: Alice offers ten.bin (10.0 MiB): F7 takes it")
        start = time.monotonic()
        self.take(b, "ten.bin")
        self.take(h, "ten.bin")
        for c in (b, h):
            c.wait_event(self.saved(c, "ten.bin"), timeout=10)
        print("10 MiB at two takers in %.1f s" % (time.monotonic() - start))
        want = sha256(os.path.join(files, "ten.bin"))
        for c in (b, h):
            self.assertEqual(want, sha256(os.path.join(c.downloads, "Yammerlane", "ten.bin")))

        # One byte and nothing at all.
        for name in ("one.bin", "empty.bin"):
            self.offer(a, name)
            b.wait_event("post 0 Server: Alice offers %s (%d B): F7 takes it" % (name, self.SIZES[name]))
            self.take(b, name)
            b.wait_event(self.saved(b, name))
            with open(os.path.join(files, name), "rb") as sent, \
                    open(os.path.join(b.downloads, "Yammerlane", name), "rb") as got:
                self.assertEqual(sent.read(), got.read())

        # 50 MiB to Bob; the host's line reaches him before its end. The
        # line is typed first and sent just after the take: the file is too
        # quick to wait for the typing.
        self.offer(a, "fifty.bin")
        b.wait_event("post 0 Server: Alice offers fifty.bin (50.0 MiB): F7 takes it")
        line = "post 5 Hosty: through the file"
        h.app.type("through the file")
        wait_until(lambda: h.typed_line("through the file", 5), 10, 0.1)
        self.take(b, "fifty.bin")
        h.press_until("Return", lambda: h.typed_line("", 5), "the line")
        b.wait_event(line, timeout=5)
        delay = self.when(b, line) - self.when(h, line)
        print("a line from Enter at the host to Bob's log during 50 MiB: %d ms" % delay)
        saved_at = self.when(b, self.saved(b, "fifty.bin"))
        self.assertTrue(saved_at is None or self.when(b, line) < saved_at, "the line waited for the file")
        self.assertFalse(any("not saved" in e for e in b.events()))


if __name__ == "__main__":
    unittest.main()
