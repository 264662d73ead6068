"""End-to-end tests inside a private network namespace that the test makes (a
veth pair with both ends in it, a default route over it), each program under
its own Xvfb: finding chats on the local network, where the join screen's
broadcast to 255.255.255.255 reaches both hosts on the real discovery port;
and joining a host by a typed IPv6 address. Nothing leaves the machine."""
import os
import shutil
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from test_chat import BASE_X, JOIN, MAIN, Chatter  # noqa: E402
from yltest import _die_with_parent, text_mismatch, wait_until  # noqa: E402

NET_SETUP = ("ip link set lo up && ip link add v0 type veth peer name v1 && "
             "ip addr add 10.231.0.1/24 brd + dev v0 && ip link set v0 up && "
             "ip link set v1 up && ip route add default dev v0")
# The same with an IPv6 address on the veth pair, for joining over IPv6.
NET_SETUP6 = NET_SETUP + " && ip -6 addr add fd00::1/64 dev v0 nodad"
ADDRESS = "10.231.0.1"
LIST_Y, LIST_STEP = 18, 9   # the heading; one chat per 9 pixels below it
INSIDE = os.environ.get("YL_PRIVATE_NET")


def chat_line(name, port, picked=False):
    return "%s %-9s %-21s 1/9 users" % (">" if picked else " ", name, "%s:%d" % (ADDRESS, port))


class DiscoveryTest(unittest.TestCase):
    def run_inside(self, test, setup=NET_SETUP):
        if not shutil.which("unshare") or not shutil.which("ip"):
            self.skipTest("unshare or ip is missing: no private network for this test")
        probe = subprocess.run(["unshare", "--net", "sh", "-c", setup],
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=30)
        if probe.returncode != 0:
            self.skipTest("unshare --net, a veth pair or an IPv6 address on it is refused here: not run")
        done = subprocess.run(
            ["unshare", "--net", "sh", "-c", setup + " && exec \"$0\" -m unittest " + test,
             sys.executable],
            env=dict(os.environ, YL_PRIVATE_NET="1"), cwd=os.path.dirname(os.path.abspath(__file__)),
            timeout=200, preexec_fn=_die_with_parent)
        self.assertEqual(0, done.returncode, "the run inside the private network failed (above)")

    def chatter(self, port):
        c = Chatter(port)
        self.addCleanup(c.close)
        return c

    def test_join_screen_lists_two_hosts_and_f5_picks_one(self):
        if not INSIDE:
            return self.run_inside("test_discovery.DiscoveryTest.test_join_screen_lists_two_hosts_and_f5_picks_one")
        alpha, bravo, carol = self.chatter(5001), self.chatter(5002), self.chatter(5003)
        for c in (alpha, bravo, carol):
            c.app.wait_window()
        bravo.host("Bravo", "5002")
        alpha.host("Alpha", "5001")
        carol.wait_menu()
        carol.move_to(MAIN, 1)
        carol.enter_until(JOIN)
        carol.set_field(JOIN, 1, "Carol")

        def shows(*lines):
            """The list shows exactly these chat lines, (text, colour) each, in order."""
            try:
                shot = carol.app.screenshot()
            except (ValueError, RuntimeError):
                return False
            return all(text_mismatch(shot, BASE_X, LIST_Y + LIST_STEP * (i + 1), text, colour, font="default") == 0
                       for i, (text, colour) in enumerate(lines)) and \
                shot.colours(BASE_X, LIST_Y + LIST_STEP * (len(lines) + 1), 480, 8) == {(0, 0, 0)}

        # Sorted by name whichever answered first; F5 takes the first, then the next.
        try:
            wait_until(lambda: shows((chat_line("Alpha", 5001), 15), (chat_line("Bravo", 5002), 15)), 15, 0.2)
        except TimeoutError:
            raise AssertionError("the join screen does not list both hosts")
        carol.press_until("F5", lambda: shows((chat_line("Alpha", 5001, True), 12),
                                              (chat_line("Bravo", 5002), 15)), "F5", hold=0.1)
        carol.press_until("F5", lambda: shows((chat_line("Alpha", 5001), 15),
                                              (chat_line("Bravo", 5002, True), 12)), "F5", hold=0.1)
        carol.move_to(JOIN, 2)
        wait_until(lambda: carol.field_shows(2, ADDRESS), 5, 0.1)
        carol.move_to(JOIN, 3)
        wait_until(lambda: carol.field_shows(3, "5002"), 5, 0.1)

        carol.start_chat(JOIN, 5)
        carol.wait_event("post 5 Carol: my number 2")
        bravo.wait_event("post 5 Carol: Im the new guy!")
        bravo.wait_rows("Carol: Im the new guy!", 5)
        self.assertEqual(0, alpha.count("post 5 Carol: Im the new guy!"))

    def test_join_by_typed_ipv6_address(self):
        if not INSIDE:
            return self.run_inside("test_discovery.DiscoveryTest.test_join_by_typed_ipv6_address", NET_SETUP6)
        host, guest = self.chatter(5004), self.chatter(5004)
        for c in (host, guest):
            c.app.wait_window()
        host.host("Hosty", "5004")
        guest.join("Sixer", "fd00::1", "5004", colour=8)
        guest.wait_event("post 8 Sixer: my number 2")
        host.wait_event("post 8 Sixer: Im the new guy!")
        guest.say("hello over six", 8)
        host.wait_event("post 8 Sixer: hello over six")
        host.say("welcome over six", 5)
        guest.wait_event("post 5 Hosty: welcome over six")


if __name__ == "__main__":
    unittest.main()
