#!/bin/sh
# The host's CPU with 8 clients connected, idle and per relayed line: the
# console host (yammerlane --host, no display) beside the screen host (the
# real program under Xvfb, hosted through its menu). The clients are
# bench_host_clients, 8 netlane conns in one process on 127.0.0.1.
# Usage: bench/host_load.sh [port]; BUILD names the build folder; IDLE_S
# and LINES the idle time and the lines said.
set -e
cd "$(dirname "$0")/.."
BUILD=$(cd "${BUILD:-build}" && pwd)
export YL_BINARY="$BUILD/run/yammerlane" YL_DATA="$BUILD/run/data.dat"
export YL_TEXTMASK="$BUILD/tests/e2e/yl_textmask" YL_CLIENTS="$BUILD/bench/bench_host_clients"
export PYTHONDONTWRITEBYTECODE=1
PORT=${1:-32197} IDLE_S=${IDLE_S:-10} LINES=${LINES:-400} python3 - <<'PY'
import os, subprocess, sys, time
sys.path[:0] = ["tests/e2e_chat", "tests/e2e"]
from test_chat import Chatter
from yltest import wait_until

port = int(os.environ["PORT"])
idle_s = float(os.environ["IDLE_S"])
lines = int(os.environ["LINES"])
tick = os.sysconf("SC_CLK_TCK")

def cpu_s(pid):
    fields = open("/proc/%d/stat" % pid).read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / tick

def measure(pid):
    clients = subprocess.Popen([os.environ["YL_CLIENTS"], str(port)], stdin=subprocess.PIPE,
                               stdout=subprocess.PIPE, text=True)
    try:
        if clients.stdout.readline().strip() != "joined":
            raise SystemExit("the clients did not join")
        time.sleep(1)
        before, t0 = cpu_s(pid), time.monotonic()
        time.sleep(idle_s)
        idle = (cpu_s(pid) - before) / (time.monotonic() - t0)
        before, t0 = cpu_s(pid), time.monotonic()
        clients.stdin.write("talk %d\n" % lines)
        clients.stdin.flush()
        ms, copies = map(int, clients.stdout.readline().split()[1:])
        spent, took = cpu_s(pid) - before, time.monotonic() - t0
        per_line = max(spent - idle * took, 0) / lines
        clients.stdin.write("quit\n")
        clients.stdin.flush()
        return idle, per_line, copies
    finally:
        clients.wait(timeout=10)

rows = []
env = dict(os.environ, YAMMERLANE_NO_DISCOVERY="1")
env.pop("DISPLAY", None)
host = subprocess.Popen([os.environ["YL_BINARY"], "--host", "--port", str(port)], env=env,
                        stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
try:
    host.stdout.readline()   # "Others can join at ...": it listens
    rows.append(("console host (--host)",) + measure(host.pid))
finally:
    host.terminate()
    host.wait(timeout=5)

screen = Chatter(port)
try:
    screen.app.wait_window()
    screen.host("host", str(port))
    wait_until(lambda: any(e.startswith("post 0 Server: Others can join") for e in screen.events()), 10)
    rows.append(("screen host (Xvfb)",) + measure(screen.app.pid))
finally:
    screen.close()

print("host load: 8 clients on 127.0.0.1, %.0f s idle, then %d lines at 50 a second, each relayed to 7"
      % (idle_s, lines))
print("  %-24s %16s %22s %10s" % ("", "idle CPU (core)", "CPU per relayed line", "copies"))
for name, idle, per_line, copies in rows:
    print("  %-24s %15.1f%% %19.1f us %10d" % (name, 100 * idle, 1e6 * per_line, copies))
PY
