"""End-to-end tests of who is present: leaves by Esc and by a killed
process are shown and the freed number is given again, the host's Esc
reaches its clients, and the connect wait can be watched and cancelled."""
import os
import sys
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
from test_chat import MAIN, ChatTestCase  # noqa: E402
from yltest import palette, text_mismatch, wait_until  # noqa: E402

BUDDY_X, BUDDY_Y = 540 + 20, 15 + 10   # first name row of the buddy list
FILL = 15


def shows(c, x, y, text, colour):
    try:
        shot = c.app.screenshot()
    except (ValueError, RuntimeError):
        return False
    return text_mismatch(shot, x, y, text, colour, font="default", bg=palette()[FILL]) == 0


def buddy(c, number, name):
    """True when the buddy list shows `name` in the row of user `number`."""
    return shows(c, BUDDY_X, BUDDY_Y + 10 * (number - 1) + 10, name, 5)


class PresenceTest(ChatTestCase):
    def test_leaves_are_seen_and_numbers_reused(self):
        port = self.port()
        h, a, b, c = (self.chatter(port) for _ in range(4))
        for x in (h, a, b, c):
            x.app.wait_window()
        h.host("Hosty", str(port))
        a.join("Alice", "127.0.0.1", str(port), colour=8)
        a.wait_event("post 8 Alice: my number 2")
        b.join("Bob", "127.0.0.1", str(port), colour=11)
        b.wait_event("post 11 Bob: my number 3")
        for x in (h, b):
            wait_until(lambda x=x: buddy(x, 2, "Alice") and buddy(x, 3, "Bob"), 5, 0.1)

        # Esc at a client: gone everywhere within a second.
        a.key("Escape", lambda: a.highlighted(MAIN) == 1)
        for x in (h, b):
            x.wait_event("post 0 Server: Alice left the chat", timeout=1.5)
            wait_until(lambda x=x: not buddy(x, 2, "Alice"), 2, 0.1)

        # The freed number goes to the next to join.
        c.join("Carl", "127.0.0.1", str(port))
        c.wait_event("post 5 Carl: my number 2")

        # A killed client is gone once its conn has been silent ten seconds.
        b.app.proc.kill()
        killed = time.monotonic()
        h.wait_event("post 0 Server: Bob left the chat", timeout=14)
        self.assertLess(time.monotonic() - killed, 12)
        c.wait_event("post 0 Server: Bob left the chat", timeout=2)
        self.assertFalse(any("not answering" in e for e in c.events()))

        # Esc at the host: its client is told, and lines no longer look sent.
        h.key("Escape", lambda: h.highlighted(MAIN) == 1)
        c.wait_event("post 0 Server: The host has ended the chat", timeout=2)
        c.say("anyone there", 5)
        wait_until(lambda: any(e.startswith("post 0 Server: Not sent") for e in c.events()), 5)
        self.assertEqual(0, c.count("post 5 Carl: anyone there"))
        c.key("Escape", lambda: c.highlighted(MAIN) == 1)

    def test_connect_wait_shows_its_frame_and_esc_cancels(self):
        port = self.port()   # claimed, so nobody listens there
        c = self.chatter(port)
        c.app.wait_window()
        c.join("Lonely", "127.0.0.1", str(port), wait_chat=False)
        started = time.monotonic()
        wait_until(lambda: shows(c, 140, 200, "Connecting to 127.0.0.1:%d" % port, 0), 5, 0.1)
        self.assertTrue(shows(c, 140, 260, "Esc: back to the menu", 0))
        c.key("Escape", lambda: c.highlighted(MAIN) == 1)
        self.assertLess(time.monotonic() - started, 9, "back before the time limit")
        time.sleep(0.5)
        self.assertTrue(c.app.running())
        self.assertEqual(1, c.highlighted(MAIN))


if __name__ == "__main__":
    unittest.main()
