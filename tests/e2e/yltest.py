"""yltest: drive the real Yammerlane binary under a private Xvfb, with real X
key events, and check what it shows on screenshots. Python standard library
only; uses Xvfb, xdotool, xwd and xwdtopnm (netpbm).

Environment (CTest sets it; see tests/e2e/CMakeLists.txt):
  YL_BINARY    the yammerlane executable
  YL_DATA      the data.dat that the build made
  YL_TEXTMASK  the yl_textmask helper (draws texts with the program's fonts)

Displays
  Display(width=800, height=600)    starts its own Xvfb on a free display
                                    number (Xvfb -displayfd); .name is ":N",
                                    .env a copy of os.environ with DISPLAY
                                    set, and YAMMERLANE_NO_DISCOVERY unless
                                    YL_PRIVATE_NET says the test runs in a
                                    private network namespace of its own;
                                    .close() stops it. A context manager.
                                    Each test or each App may have its own,
                                    so tests can run in parallel.

The program
  App(display=None, data=True, config=None, files=None, workdir=None,
      binary=None, args=(), scale=1)
      Starts the binary (YL_BINARY, or `binary`) with `args` in a fresh temporary
      working folder that holds
      data.dat (data=False leaves it out; data may also be a path to another
      file to copy in as data.dat), netlane.cfg when `config` is a text, and
      any extra {name: text-or-bytes} in `files`. display=None starts a
      Display of its own, closed with the App. Standard output and error
      go to files in the folder. A context manager; .close() kills the
      process (if still running) and removes the folder. `scale` is set as
      YAMMERLANE_SCALE, so the window is 640 x 480 on any display unless a
      test asks for another scale; scale=None lets the program choose.
  .pid, .workdir, .display
  .wait_window(title="Yammerlane", timeout=15) -> X window id (int); also
      gives the window the keyboard focus. Raises TimeoutError.
  .window_exists(title) -> bool   (a visible window with exactly that name)
  .focus()                        give the app's window the focus again
  .type(text, delay_ms=40)        types text (xdotool type): characters reach
                                  Allegro's key buffer
  .press(keysym)                  one quick press and release (xdotool key);
                                  may be shorter than a 60 Hz step, so keys
                                  read through Allegro's `key` array may miss it
  .hold(keysym, seconds=0.1)      keydown, sleep, keyup: seen by the steps
                                  that sample the `key` array (6 at 0.1 s)
  .screenshot() -> Image          the frame the program drew (640 x 480): the
                                  window's content, of a window scaled N
                                  times every N-th pixel each way
  .window_shot() -> Image         the window's content as it is (640N x 480N)
  .wait_exit(timeout=15) -> int   exit status (Python's returncode: 255 for
                                  -1, negative for a signal). TimeoutError.
  .running() -> bool
  .stdout(), .stderr() -> str     what the process printed so far
  .message_text(timeout=10) -> str   text of the message window that
                                  allegro_message opened (xmessage, read
                                  from its command line). TimeoutError.
  .dismiss_message(timeout=10)    presses Return in that message window,
                                  as a user would

Pictures
  Image(width, height, pixels)    pixels: bytes, RGB, row after row
  .pixel(x, y) -> (r, g, b); .crop(x, y, w, h) -> Image;
  .scaled(n) -> Image (each pixel n x n); .sampled(n) -> Image (every n-th);
  .colours(x, y, w, h) -> set of (r, g, b);  .save_png(path); .save_ppm(path)
  palette() -> list of 256 (r, g, b): the default palette as shown on screen
  text_mask(text, font=5) -> (w, h, mask bytes 0/255): pixels that Allegro
      sets when it draws `text` with datafile font `font` (5, the menu font)
      or font="default" (Allegro's built-in 8x8 font, used by the chat)
  text_mismatch(img, x, y, text, colour, font=5, bg=(0, 0, 0)) -> int
      number of pixels that differ from `text` drawn at (x, y) in palette
      colour `colour` over `bg` (bg=None: only the text's own pixels count,
      for patterned backgrounds). 0 means an exact match.
  assert_text(img, x, y, text, colour, font=5, bg=(0, 0, 0))
      AssertionError naming the text and the mismatch count unless exact.

Helpers
  wait_until(predicate, timeout, interval=0.05) -> the predicate's truthy
      value, or raises TimeoutError. Every wait in this module is bounded.
  step_to(app, read, target, lower, higher, what, tries=30)
      holds key `lower`/`higher` until read() == target, waiting after each
      hold for the screen to change; AssertionError naming `what`.
  claim_port() -> (port, fd)   a UDP port of 32200-32299 that no other test
      uses (lock file /tmp/yammerlane-test-port-N.lock, shared with the C++
      tests) and nobody holds; the claim lasts until fd is closed.

Example
  with App() as app:
      app.wait_window()
      app.hold("Down"); app.hold("Return")
      shot = app.screenshot()
      assert_text(shot, 160, 100, "EXIT", 12)
"""
import ctypes
import fcntl
import os
import select
import shutil
import signal
import socket
import subprocess
import tempfile
import time

BINARY = os.environ.get("YL_BINARY", "")
DATA = os.environ.get("YL_DATA", "")
TEXTMASK = os.environ.get("YL_TEXTMASK", "")


def _die_with_parent():
    """Runs in the child before exec: a test killed at its time-out takes its
    Xvfb and program with it instead of leaving them running for ever."""
    try:
        ctypes.CDLL(None, use_errno=True).prctl(1, signal.SIGKILL)  # PR_SET_PDEATHSIG
    except (OSError, AttributeError):
        pass


def wait_until(predicate, timeout, interval=0.05):
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() >= deadline:
            raise TimeoutError("condition not met within %.1f s" % timeout)
        time.sleep(interval)


def step_to(app, read, target, lower, higher, what, tries=30):
    """Holds `lower` or `higher` until `read()` gives `target` (None: no
    reading, e.g. no screenshot). After each hold the screen, not the timing,
    decides what comes next: a starved program may take several frames to
    show a step, and a second hold before then would overshoot. A hold that
    showed nothing may have fallen between two of the program's key readings,
    so the next one is longer (up to 0.2 s, which may step twice; the
    reading then steps back)."""
    seen, hold = [], 0.04
    for _ in range(tries):
        now = read()
        seen.append(now)
        if now == target:
            return
        if now is None:
            time.sleep(0.12)
            continue
        app.hold(higher if now < target else lower, hold)
        try:
            wait_until(lambda: read() != now, 1, 0.05)
            hold = 0.04
        except TimeoutError:
            hold = min(0.2, hold * 2)
        time.sleep(0.12)  # more than 5 steps with no key down
    raise AssertionError("could not reach %s; read last: %r" % (what, seen[-8:]))


# Ports of the tests that listen (chats, the installed example), below the
# system's ephemeral range so that no conn that lets the system choose its
# port lands on one. The same test may run at once from several build trees
# (plain and sanitizer builds, other people's), and the program binds
# without address reuse, so a second host on a taken port gets no conn
# ("Error opening conn") and a port merely seen free can be taken by another
# test before the host binds it: each test claims a port of its own with a
# lock file that the chat unit tests share.
PORT_FIRST, PORT_COUNT = 32200, 100
PORT_LOCK = "/tmp/yammerlane-test-port-%d.lock"


def claim_port():
    """A port nobody else uses; (port, fd): the claim lasts until fd is closed."""
    for port in range(PORT_FIRST, PORT_FIRST + PORT_COUNT):
        fd = os.open(PORT_LOCK % port, os.O_RDWR | os.O_CREAT, 0o666)
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except OSError:
            os.close(fd)
            continue
        probe = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        try:
            probe.bind(("", port))  # without reuse: fails while anyone holds it
            return port, fd
        except OSError:
            os.close(fd)
        finally:
            probe.close()
    raise RuntimeError("no free port in %d-%d" % (PORT_FIRST, PORT_FIRST + PORT_COUNT - 1))


class Display:
    def __init__(self, width=800, height=600):
        read_fd, write_fd = os.pipe()
        self.proc = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_fd), "-screen", "0", "%dx%dx24" % (width, height),
             "-nolisten", "tcp", "-noreset"],
            pass_fds=(write_fd,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
            preexec_fn=_die_with_parent)
        os.close(write_fd)
        number = b""
        deadline = time.monotonic() + 15
        try:
            while not number.endswith(b"\n"):
                left = deadline - time.monotonic()
                if left <= 0 or not select.select([read_fd], [], [], left)[0]:
                    raise TimeoutError("Xvfb did not start")
                chunk = os.read(read_fd, 16)
                if not chunk:
                    raise RuntimeError("Xvfb ended before naming its display")
                number += chunk
        except BaseException:
            self.proc.kill()
            self.proc.wait(5)
            raise
        finally:
            os.close(read_fd)
        self.name = ":" + number.decode().strip()
        self.env = dict(os.environ, DISPLAY=self.name)
        # The program neither binds the discovery port nor broadcasts, except
        # in a private network that a test made and names with YL_PRIVATE_NET.
        if not os.environ.get("YL_PRIVATE_NET"):
            self.env["YAMMERLANE_NO_DISCOVERY"] = "1"

    def run(self, *args, timeout=10, check=True):
        """Runs an X client (xdotool, xwd...) on this display; its stdout as bytes."""
        done = subprocess.run(list(args), env=self.env, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, timeout=timeout)
        if check and done.returncode != 0:
            raise RuntimeError("%s failed: %s" % (args[0], done.stderr.decode(errors="replace")))
        return done.stdout

    def find_windows(self, title):
        """Visible windows named exactly `title` (xdotool's own match ignores case)."""
        out = subprocess.run(["xdotool", "search", "--onlyvisible", "--name", "^%s$" % title],
                             env=self.env, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                             timeout=10).stdout
        found = []
        for win in out.split():
            name = subprocess.run(["xdotool", "getwindowname", win], env=self.env,
                                  stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, timeout=10).stdout
            if name.decode(errors="replace").rstrip("\n") == title:
                found.append(int(win))
        return found

    def close(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait(5)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


class App:
    def __init__(self, display=None, data=True, config=None, files=None, workdir=None,
                 binary=None, args=(), scale=1):
        binary = binary or BINARY
        if not binary:
            raise RuntimeError("YL_BINARY is not set")
        self.own_display = display is None
        self.display = display or Display()
        self.own_workdir = workdir is None
        self.workdir = workdir or tempfile.mkdtemp(prefix="yltest-")
        if data:
            shutil.copy(DATA if data is True else data, os.path.join(self.workdir, "data.dat"))
        if config is not None:
            with open(os.path.join(self.workdir, "netlane.cfg"), "w") as f:
                f.write(config)
        for name, content in (files or {}).items():
            with open(os.path.join(self.workdir, name), "wb" if isinstance(content, bytes) else "w") as f:
                f.write(content)
        self._out = open(os.path.join(self.workdir, "stdout.txt"), "wb")
        self._err = open(os.path.join(self.workdir, "stderr.txt"), "wb")
        env = dict(self.display.env)
        if scale is not None:
            env["YAMMERLANE_SCALE"] = str(scale)
        try:
            self.proc = subprocess.Popen([binary] + list(args), cwd=self.workdir, env=env,
                                         stdin=subprocess.DEVNULL, stdout=self._out,
                                         stderr=self._err, preexec_fn=_die_with_parent)
        except BaseException:
            self._out.close()
            self._err.close()
            if self.own_display:
                self.display.close()
            if self.own_workdir:
                shutil.rmtree(self.workdir, ignore_errors=True)
            raise
        self.pid = self.proc.pid
        self.window = None

    # --- the window -------------------------------------------------------
    def window_exists(self, title="Yammerlane"):
        return bool(self.display.find_windows(title))

    def wait_window(self, title="Yammerlane", timeout=15):
        def found():
            if self.proc.poll() is not None:
                raise RuntimeError("the program ended (status %s) before its window appeared:\n%s"
                                   % (self.proc.returncode, self.stderr()))
            wins = self.display.find_windows(title)
            return wins[0] if wins else None
        self.window = wait_until(found, timeout, 0.1)
        self.focus()
        return self.window

    def focus(self):
        self.display.run("xdotool", "windowfocus", "--sync", str(self.window))

    # --- keys -------------------------------------------------------------
    def type(self, text, delay_ms=40):
        self.display.run("xdotool", "type", "--delay", str(delay_ms), "--", text, timeout=30)

    def press(self, keysym):
        self.display.run("xdotool", "key", keysym)

    def hold(self, keysym, seconds=0.1):
        self.display.run("xdotool", "keydown", keysym)
        time.sleep(seconds)
        self.display.run("xdotool", "keyup", keysym)

    # --- pictures ---------------------------------------------------------
    def window_shot(self):
        xwd = self.display.run("xwd", "-silent", "-id", str(self.window))
        ppm = subprocess.run(["xwdtopnm"], input=xwd, stdout=subprocess.PIPE,
                             stderr=subprocess.DEVNULL, timeout=10, check=True).stdout
        return Image.from_ppm(ppm)

    def screenshot(self):
        shot = self.window_shot()
        n = shot.width // 640
        if n > 1 and shot.width == 640 * n and shot.height == 480 * n:
            return shot.sampled(n)
        return shot

    # --- the process ------------------------------------------------------
    def running(self):
        return self.proc.poll() is None

    def wait_exit(self, timeout=15):
        try:
            return self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            raise TimeoutError("the program did not end within %.1f s" % timeout)

    def _read(self, name):
        with open(os.path.join(self.workdir, name), "rb") as f:
            return f.read().decode(errors="replace")

    def stdout(self):
        self._out.flush()
        return self._read("stdout.txt")

    def stderr(self):
        self._err.flush()
        return self._read("stderr.txt")

    def _message_pid(self):
        """Pid and argv of an xmessage child of the program, or None."""
        for entry in os.listdir("/proc"):
            if not entry.isdigit():
                continue
            try:
                with open("/proc/%s/stat" % entry) as f:
                    stat = f.read()
                with open("/proc/%s/cmdline" % entry, "rb") as f:
                    argv = f.read().split(b"\0")
            except OSError:
                continue
            # The command name may hold spaces: the ppid follows its closing ')'.
            fields = stat[stat.rindex(")") + 2:].split()
            if int(fields[1]) == self.pid and argv and os.path.basename(argv[0]) == b"xmessage":
                return int(entry), [a.decode(errors="replace") for a in argv if a]
        return None

    def message_text(self, timeout=10):
        _pid, argv = wait_until(self._message_pid, timeout, 0.1)
        return argv[-1]

    def dismiss_message(self, timeout=10):
        win = wait_until(lambda: (self.display.find_windows("xmessage") or [None])[0], timeout, 0.1)
        self.display.run("xdotool", "windowfocus", "--sync", str(win))
        self.display.run("xdotool", "key", "Return")

    def close(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGKILL)
            self.proc.wait(5)
        msg = self._message_pid()
        if msg:
            try:
                os.kill(msg[0], signal.SIGKILL)
            except OSError:
                pass
        self._out.close()
        self._err.close()
        if self.own_display:
            self.display.close()
        if self.own_workdir:
            shutil.rmtree(self.workdir, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


class Image:
    def __init__(self, width, height, pixels):
        self.width, self.height, self.pixels = width, height, pixels

    @classmethod
    def from_ppm(cls, ppm):
        fields = []
        pos = 0
        while len(fields) < 4:  # magic, width, height, maxval; '#' comments skipped
            while ppm[pos:pos + 1].isspace():
                pos += 1
            if ppm[pos:pos + 1] == b"#":
                pos = ppm.index(b"\n", pos)
                continue
            end = pos
            while not ppm[end:end + 1].isspace():
                end += 1
            fields.append(ppm[pos:end])
            pos = end
        if fields[0] != b"P6" or fields[3] != b"255":
            raise ValueError("not an 8-bit P6 picture")
        w, h = int(fields[1]), int(fields[2])
        return cls(w, h, ppm[pos + 1:pos + 1 + 3 * w * h])

    def pixel(self, x, y):
        i = 3 * (y * self.width + x)
        return tuple(self.pixels[i:i + 3])

    def crop(self, x, y, w, h):
        rows = [self.pixels[3 * ((y + j) * self.width + x):3 * ((y + j) * self.width + x + w)]
                for j in range(h)]
        return Image(w, h, b"".join(rows))

    def scaled(self, n):
        """Each pixel repeated n times each way, as a window scaled n times shows it."""
        rows = []
        for y in range(self.height):
            row = self.pixels[3 * y * self.width:3 * (y + 1) * self.width]
            wide = bytearray(3 * n * self.width)
            for k in range(n):
                for c in range(3):
                    wide[3 * k + c::3 * n] = row[c::3]
            rows.extend([bytes(wide)] * n)
        return Image(self.width * n, self.height * n, b"".join(rows))

    def sampled(self, n):
        """Every n-th pixel of every n-th row, from the top left."""
        w = self.width // n
        rows = []
        for y in range(0, self.height - self.height % n, n):
            row = self.pixels[3 * y * self.width:3 * (y + 1) * self.width]
            narrow = bytearray(3 * w)
            for c in range(3):
                narrow[c::3] = row[c:3 * w * n:3 * n]
            rows.append(bytes(narrow))
        return Image(w, len(rows), b"".join(rows))

    def colours(self, x, y, w, h):
        return {self.pixel(x + i, y + j) for j in range(h) for i in range(w)}

    def save_ppm(self, path):
        with open(path, "wb") as f:
            f.write(b"P6\n%d %d\n255\n" % (self.width, self.height) + self.pixels)

    def save_png(self, path):
        png = subprocess.run(["pnmtopng"], input=b"P6\n%d %d\n255\n" % (self.width, self.height)
                             + self.pixels, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                             timeout=30, check=True).stdout
        with open(path, "wb") as f:
            f.write(png)


_palette = None
_masks = {}


def palette():
    global _palette
    if _palette is None:
        out = subprocess.run([TEXTMASK, "--palette"], stdout=subprocess.PIPE, timeout=10,
                             check=True).stdout.decode()
        _palette = [tuple(int(v) for v in line.split()) for line in out.splitlines()]
    return _palette


def text_mask(text, font=5):
    key = (text, str(font))
    if key not in _masks:
        out = subprocess.run([TEXTMASK, DATA, str(font), text], stdout=subprocess.PIPE,
                             timeout=10, check=True).stdout
        # "P5\n<w> <h>\n255\n", then one byte a pixel
        magic, size, maxval, pixels = out.split(b"\n", 3)
        if magic != b"P5" or maxval != b"255":
            raise ValueError("yl_textmask wrote no P5 picture")
        w, h = (int(v) for v in size.split())
        _masks[key] = (w, h, pixels)
    return _masks[key]


def text_mismatch(img, x, y, text, colour, font=5, bg=(0, 0, 0)):
    w, h, mask = text_mask(text, font)
    fg = palette()[colour]
    bad = 0
    for j in range(h):
        for i in range(w):
            if not (0 <= x + i < img.width and 0 <= y + j < img.height):
                bad += 1
                continue
            got = img.pixel(x + i, y + j)
            if mask[j * w + i]:
                bad += got != fg
            elif bg is not None:
                bad += got != tuple(bg)
    return bad


def assert_text(img, x, y, text, colour, font=5, bg=(0, 0, 0)):
    bad = text_mismatch(img, x, y, text, colour, font, bg)
    if bad:
        raise AssertionError("%r in colour %d at (%d, %d): %d pixels differ"
                             % (text, colour, x, y, bad))
