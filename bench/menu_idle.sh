#!/bin/sh
# Idle cost of the menu under Xvfb: the CPU share of one core that the
# program (and the X server drawing its frames) takes over 10 s with no key
# pressed, and the time from process start to the first complete menu frame.
# usage: bench/menu_idle.sh [BUILD_DIR]   (default: build)
set -e
cd "$(dirname "$0")/.."
build=$(cd "${1:-build}" && pwd)
YL_BINARY=$build/run/yammerlane YL_DATA=$build/run/data.dat \
YL_TEXTMASK=$build/tests/e2e/yl_textmask PYTHONDONTWRITEBYTECODE=1 \
exec python3 - <<'PY'
import os, sys, time
sys.path.insert(0, "tests/e2e")
from yltest import App, Display, text_mismatch, wait_until

TICKS = os.sysconf("SC_CLK_TCK")
IDLE_SECONDS = 10
STARTS = 5

def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICKS  # utime + stime

def menu_shown(app):
    shot = app.screenshot()
    return text_mismatch(shot, 160, 150, "JOIN CHAT", 12) == 0 and \
        text_mismatch(shot, 160, 200, "EXIT", 15) == 0

with Display() as display:
    # Start-up: from the process start to the first screenshot that holds
    # the whole main screen (screenshots are taken back to back, some ms each).
    starts = []
    for _ in range(STARTS):
        t0 = time.monotonic()
        with App(display) as app:
            app.window = wait_until(lambda: (display.find_windows("Yammerlane") or [None])[0], 15, 0.005)
            wait_until(lambda: menu_shown(app), 15, 0)
            starts.append(time.monotonic() - t0)

    with App(display) as app:
        app.wait_window()
        wait_until(lambda: menu_shown(app), 15, 0.05)
        time.sleep(1)
        t0 = time.monotonic()
        app0, x0 = cpu_seconds(app.pid), cpu_seconds(display.proc.pid)
        time.sleep(IDLE_SECONDS)
        t1 = time.monotonic()
        app1, x1 = cpu_seconds(app.pid), cpu_seconds(display.proc.pid)

share = 100 * (app1 - app0) / (t1 - t0)
xshare = 100 * (x1 - x0) / (t1 - t0)
starts.sort()
print("menu_idle: program CPU while idle: %.1f%% of one core over %.0f s (target < 10%%: %s)"
      % (share, t1 - t0, "met" if share < 10 else "MISSED"))
print("menu_idle: X server CPU meanwhile: %.1f%% of one core" % xshare)
print("menu_idle: start to first menu frame: median %.0f ms, best %.0f ms, worst %.0f ms (%d starts)"
      % (1000 * starts[len(starts) // 2], 1000 * starts[0], 1000 * starts[-1], len(starts)))
PY
