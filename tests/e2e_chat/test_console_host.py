"""End-to-end test of the console host: `yammerlane --host` without a
display, its log on standard output and its lines from standard input,
joined by the real program under Xvfb through the JOIN CHAT menu."""
import os
import signal
import subprocess
import sys
import threading
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from test_chat import ChatTestCase  # noqa: E402
from yltest import BINARY, wait_until  # noqa: E402


class ConsoleHost:
    """`yammerlane --host` as a process: its standard output read line by line."""

    def __init__(self, port, name):
        env = dict(os.environ)
        env.pop("DISPLAY", None)
        env["YAMMERLANE_NO_DISCOVERY"] = "1"
        self.proc = subprocess.Popen([BINARY, "--host", "--port", str(port), "--name", name],
                                     env=env, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE)
        self.lines = []
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()

    def _read(self):
        for raw in self.proc.stdout:
            self.lines.append(raw.decode(errors="replace").rstrip("\n"))

    def says(self, text):
        """The log's lines without their time of day, "Alice: hi"."""
        return [line.split(" ", 1)[1] for line in self.lines if " " in line].count(text) > 0

    def wait_line(self, text, timeout=10):
        try:
            wait_until(lambda: self.says(text), timeout, 0.05)
        except TimeoutError:
            raise AssertionError("%r not in the host's log:\n  %s" % (text, "\n  ".join(self.lines)))

    def type(self, line):
        self.proc.stdin.write(line.encode() + b"\n")
        self.proc.stdin.flush()

    def close(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()


class ConsoleHostTest(ChatTestCase):
    def test_screen_client_joins_and_a_line_goes_each_way(self):
        port = self.port()
        host = ConsoleHost(port, "Keeper")
        self.addCleanup(host.close)
        wait_until(lambda: any("Others can join at" in line for line in host.lines), 10, 0.05)

        c = self.chatter(port)
        c.app.wait_window()
        c.join("Alice", "127.0.0.1", str(port))
        c.wait_event("post 5 Alice: my number 2", timeout=20)
        c.wait_event("post 5 Keeper: Got a join packet")
        host.wait_line("Alice: Im the new guy!")

        c.say("hello keeper", 5)
        host.wait_line("Alice: hello keeper")
        host.type("hello alice")
        host.wait_line("Keeper: hello alice")
        c.wait_event("post 5 Keeper: hello alice")
        c.wait_rows("Keeper: hello alice", 5)

        started = time.monotonic()
        host.proc.send_signal(signal.SIGTERM)
        self.assertEqual(0, host.proc.wait(timeout=5))
        self.assertLess(time.monotonic() - started, 2)
        c.wait_event("post 0 Server: The host has ended the chat")


if __name__ == "__main__":
    unittest.main()
