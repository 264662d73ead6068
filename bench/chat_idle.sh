#!/bin/sh
# Idle CPU and host memory of the real program: a host and 8 clients, each
# under its own Xvfb, joined over 127.0.0.1 through the menus with real key
# events (tests/e2e_chat helpers); then nobody types for IDLE_S seconds.
# Usage: bench/chat_idle.sh [port]; BUILD names the build folder.
set -e
cd "$(dirname "$0")/.."
BUILD=$(cd "${BUILD:-build}" && pwd)
export YL_BINARY="$BUILD/run/yammerlane" YL_DATA="$BUILD/run/data.dat"
export YL_TEXTMASK="$BUILD/tests/e2e/yl_textmask" PYTHONDONTWRITEBYTECODE=1
PORT=${1:-32195} IDLE_S=${IDLE_S:-10} python3 - <<'PY'
import os, sys, time
sys.path[:0] = ["tests/e2e_chat", "tests/e2e"]
from test_chat import Chatter

port = int(os.environ["PORT"])
idle_s = float(os.environ["IDLE_S"])
tick = os.sysconf("SC_CLK_TCK")

def cpu_s(pid):
    fields = open("/proc/%d/stat" % pid).read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / tick

def peak_kib(pid):
    for line in open("/proc/%d/status" % pid):
        if line.startswith("VmHWM:"):
            return int(line.split()[1])
    return 0

people = []
try:
    for _ in range(9):
        people.append(Chatter(port))
    host, clients = people[0], people[1:]
    for p in people:
        p.app.wait_window()
    host.host("host", str(port))
    for n, c in enumerate(clients, 2):
        c.join("client%d" % n, "127.0.0.1:%d" % port)
        c.wait_event("post 5 client%d: my number %d" % (n, n), timeout=20)
    time.sleep(1)
    pids = [p.app.pid for p in people]
    before = [cpu_s(pid) for pid in pids]
    t0 = time.monotonic()
    time.sleep(idle_s)
    spent = time.monotonic() - t0
    share = [100 * (cpu_s(pid) - b) / spent for pid, b in zip(pids, before)]
    print("chat idle: host + 8 clients under Xvfb, %.0f s without typing" % spent)
    print("  idle CPU (share of one core): host %.1f%%, clients median %.1f%% worst %.1f%%"
          % (share[0], sorted(share[1:])[4], max(share[1:])))
    print("  host peak memory (VmHWM): %d KiB" % peak_kib(pids[0]))
finally:
    for p in people:
        p.close()
PY
