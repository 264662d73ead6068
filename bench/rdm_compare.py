#!/usr/bin/env python3
"""Side-by-side comparison of netlane conns, ENet reliable packets and plain
UDP datagrams, two processes on 127.0.0.1, each figure repeated a few times
with the transports taking turns in every round. Runs inside private network
namespaces when the machine allows them (root, unshare, nftables): there the
UDP counters belong to the run alone, and the loss runs drop datagrams with
an nftables rule on the namespace's loopback, each way. Prints a table and
writes docs/benchmarks.md.

    bench/rdm_compare.py [--rounds N] [--quick] [--out FILE] [--no-netns] [--ipv6-only]
                         [--busy N] [--counts]

--busy N[,M...] runs the whole table once per number given, with that many
busy loops beside it (each a shell spinning for at most an hour, killed at
the end of its table); --counts adds the server's syscalls,
heap allocations and mutex locks per message, counted by a preloaded
library (build/bench/libbench_count_calls.so) over the measured messages.
"""
import argparse
import datetime
import os
import platform
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PROGRAM = os.path.join(ROOT, "build", "bench", "bench_rdm_loopback")
COUNTER = os.path.join(ROOT, "build", "bench", "libbench_count_calls.so")

# netlane's settings per variant, in its configuration-file format.
CONFIGS = {
    "netlane": "",
    "netlane auto": "[conns]\nconn_resend_rate = auto\n",
    "netlane auto 64": "[conns]\nconn_resend_rate = auto\nconn_outqueue_size = 64\nconn_inqueue_size = 64\n",
}
# The variants that differ only in resending run under loss alone.
LOOPBACK_SKIP = {"netlane auto"}
# netlane with its defaults over IPv6's loopback, for the round trips and the
# 1 KiB throughput only, beside "netlane" over 127.0.0.1.
IPV6 = "netlane [::1]"
IPV6_ROWS = {"round trip, 16 B", "round trip, 1 KiB", "throughput, 1 KiB"}

# (label, measure, size, count, time limit s, value keys); the measure may
# carry the program's flags ("--wait": both sides sleep instead of spinning;
# the idle figures are netlane's alone). A stream that
# has not delivered all its messages by the time limit counts what arrived.
LOOPBACK = [
    ("round trip, 16 B", "rtt", 16, 1000, 3, "p50"),
    ("round trip, 1 KiB", "rtt", 1024, 1000, 3, "p50"),
    ("throughput, 16 B", "stream", 16, 10000, 1.5, "rate"),
    ("throughput, 1 KiB", "stream", 1024, 5000, 1.5, "rate"),
    ("throughput, 16,000 B", "stream", 16000, 500, 1.5, "rate"),
    ("round trip, 16 B, both sides waiting", "rtt --wait", 16, 1000, 3, "p50"),
    ("round trip, 16 B, both sides waiting, one core", "rtt --wait --one-core", 16, 1000, 3, "p50"),
    ("round trip, 16 B, both sides waiting, two cores", "rtt --wait --two-cores", 16, 1000, 3, "p50"),
    ("throughput, 1 KiB, receiver waiting", "stream --wait", 1024, 5000, 1.5, "rate"),
    ("throughput, 1 KiB, receiver waiting, one core", "stream --wait --one-core", 1024, 5000, 1.5, "rate"),
    ("idle server for 5 s, % of a core, spinning", "idle", 16, 1, 8, "server_cpu_percent"),
    ("idle server for 5 s, % of a core, in net_wait", "idle --wait", 16, 1, 8, "server_cpu_percent"),
    ("connect, idle listener", "connect", 16, 1, 3, "us"),
    ("connect, busy listener", "connect_busy", 16, 1, 3, "us udp_out"),
]
# Per loss: (label, measure, size, count, time limit s, value keys).
LOSSY = {
    5: [("round trip 16 B, 5 % loss each way", "rtt", 16, 200, 4, "p50 p90 p99 max"),
        ("throughput 1 KiB, 5 % loss each way", "stream", 1024, 1500, 2.5, "rate")],
    20: [("round trip 16 B, 20 % loss each way", "rtt", 16, 100, 6, "p50 p90 p99 max"),
         ("throughput 1 KiB, 20 % loss each way", "stream", 1024, 1500, 2.5, "rate")],
}
# Counted runs (--counts): (label, measure, size, count, time limit s, unit).
COUNTED = [
    ("throughput, 1 KiB, receiver waiting", "stream --wait", 1024, 5000, 3, "message"),
    ("throughput, 16 B", "stream", 16, 10000, 3, "message"),
    ("round trip, 16 B, both sides waiting", "rtt --wait", 16, 1000, 4, "round trip"),
]
COUNT_KEYS = (("srv_syscalls", "syscalls"), ("srv_allocs", "allocations"), ("srv_locks", "mutex locks"),
              ("srv_clocks", "clock readings"))
KEY_NAMES = {"p50": "median", "udp_out": "datagrams sent"}
TIME_UNITS = {"p50", "p90", "p99", "max", "us"}


def can_use_netns():
    if os.geteuid() != 0 or not shutil.which("unshare") or not shutil.which("nft"):
        return False
    return subprocess.run(["unshare", "-n", "true"], capture_output=True).returncode == 0


# A private namespace with its loopback up and, for a loss run, a rule that
# drops that share of the UDP datagrams arriving at it (so each way).
NETNS_SCRIPT = r"""
ip link set lo up || exit 3
if [ "$LOSS" != 0 ]; then
nft -f - <<EOF || exit 3
table inet benchloss {
  chain input { type filter hook input priority 0; meta l4proto udp numgen random mod 100 < $LOSS drop; }
}
EOF
fi
exec "$@"
"""


def start_busy(n):
    """N processes that spin for the run (at most an hour each)."""
    return [subprocess.Popen(["timeout", "3600", "sh", "-c", "while :; do :; done"], start_new_session=True,
                             stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL) for _ in range(n)]


def stop_busy(procs):
    # Each loop is a session of its own: its group is the loop and its
    # time-out, and nothing else.
    for p in procs:
        try:
            os.killpg(p.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
    for p in procs:
        try:
            p.wait(timeout=5)
        except subprocess.TimeoutExpired:
            pass


def run_one(transport, config, measure, size, count, timeout, loss, netns, program=PROGRAM, counted=False):
    args = [program, "enet" if transport == "enet" else "udp" if transport == "udp" else "netlane"] + measure.split() + [
            "--size", str(size), "--count", str(count), "--timeout", str(timeout)]
    if transport == IPV6:
        args += ["--host", "::1"]
    if config:
        args += ["--cfg", config]
    if netns:
        args = ["unshare", "-n", "sh", "-c", NETNS_SCRIPT, "netns"] + args + ["--snmp"]
    env = dict(os.environ, LOSS=str(loss))
    counts_file = None
    if counted:
        fd, counts_file = tempfile.mkstemp(prefix="netlane-counts-")
        os.close(fd)
        env.update(LD_PRELOAD=COUNTER, BENCH_COUNTS=counts_file)
    try:
        out = subprocess.run(args, capture_output=True, text=True, timeout=timeout + 15, env=env).stdout
    except subprocess.TimeoutExpired:
        return None
    finally:
        if counts_file:
            os.unlink(counts_file)
    for line in out.splitlines():
        if line.startswith("ok "):
            fields = {}
            for part in line[3:].split():
                if "=" in part:
                    k, v = part.split("=", 1)
                    try:
                        fields[k] = float(v)
                    except ValueError:
                        pass
            return fields
        if line.startswith("skipped"):
            return "skipped"
    return None


def fmt(value, key):
    if value is None:
        return "—"
    if key == "udp_out":
        return "%.0f" % value
    if key == "server_cpu_percent":
        return "%.2f %%" % value
    if key in TIME_UNITS:
        if value >= 10000:
            return "%.0f ms" % (value / 1000) if value >= 100000 else "%.1f ms" % (value / 1000)
        return "%.1f µs" % value
    if value >= 10000:
        return "%.1fk" % (value / 1000)
    return "%.0f" % value


def summary(values, key):
    """Median [min–max] of a repeated figure, with '!' when a round fell
    below a quarter of the median (a stall)."""
    values = [v for v in values if v is not None]
    if not values:
        return None, "failed"
    med = statistics.median(values)
    text = fmt(med, key)
    if len(values) > 1:
        text += " (%s–%s)" % (fmt(min(values), key), fmt(max(values), key))
    if key == "rate" and med > 0 and min(values) < med / 4:
        text += " !stall"
    return med, text


def kept_sections(path):
    """The sections of an earlier file that other benchmarks wrote (any "## "
    heading but this script's own tables), to be kept at the end."""
    try:
        with open(path) as f:
            old = f.read()
    except OSError:
        return ""
    kept, keep = [], False
    for line in old.splitlines(keepends=True):
        if line.startswith("## "):
            title = line[3:]
            keep = not (title.startswith("Without busy loops") or title.startswith("With ") and "busy loop" in title)
        if keep:
            kept.append(line)
    return ("\n" + "".join(kept)) if kept else ""


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--rounds", type=int, default=5)
    ap.add_argument("--loss-rounds", type=int, default=3)
    ap.add_argument("--quick", action="store_true", help="one round, smaller counts")
    ap.add_argument("--no-netns", action="store_true")
    ap.add_argument("--out", default=os.path.join(ROOT, "docs", "benchmarks.md"))
    ap.add_argument("--ipv6-only", action="store_true",
                    help="only the rows that set netlane over [::1] beside netlane over 127.0.0.1")
    ap.add_argument("--busy", default="0", metavar="N[,M...]",
                    help="one table per number, with that many busy loops on the machine during it")
    ap.add_argument("--counts", action="store_true",
                    help="also the server's syscalls, allocations and mutex locks per message")
    ap.add_argument("--counts-only", action="store_true", help="only those counts")
    ap.add_argument("--before", metavar="PROGRAM",
                    help="also run this build of the measuring program, as \"netlane before\" (defaults)")
    a = ap.parse_args()
    if not os.access(PROGRAM, os.X_OK):
        sys.exit("build the benchmark first: %s is missing" % PROGRAM)
    netns = not a.no_netns and can_use_netns()
    rounds = 1 if a.quick else a.rounds
    loss_rounds = 1 if a.quick else a.loss_rounds
    tmp = tempfile.mkdtemp(prefix="netlane-bench-")
    config_files = {}
    for name, text in CONFIGS.items():
        if text:
            path = os.path.join(tmp, name.replace(" ", "_") + ".cfg")
            with open(path, "w") as f:
                f.write(text)
            config_files[name] = path
        else:
            config_files[name] = None
    transports = ["udp", "enet"] + list(CONFIGS) + [IPV6]
    if a.ipv6_only:
        transports = ["netlane", IPV6]
    programs = {}
    if a.before:
        transports.insert(2, "netlane before")
        programs["netlane before"] = os.path.abspath(a.before)
    if (a.counts or a.counts_only) and not os.path.exists(COUNTER):
        sys.exit("build the call counter first: %s is missing" % COUNTER)
    try:
        levels = [max(0, min(int(n), 8)) for n in a.busy.split(",")]
    except ValueError:
        sys.exit("--busy takes numbers: 0 or 2 or 0,2")
    sections = []
    for i, n in enumerate(levels):
        busy = start_busy(n)
        try:
            sections.append(run_all(a, netns, rounds, loss_rounds, config_files, transports, programs, n,
                                    "w" if i == 0 else "a"))
        finally:
            stop_busy(busy)
    shutil.rmtree(tmp, ignore_errors=True)
    write_doc(a, netns, rounds, loss_rounds, sections)


def run_all(a, netns, rounds, loss_rounds, config_files, transports, programs, busy, log_mode):
    """One table with `busy` busy loops running: (table, busy, start time,
    load average before, after)."""
    started = datetime.datetime.now()
    load_before = os.getloadavg()

    rows = []  # (label, key, {transport: (median, text)})
    # Every run's whole answer, for looking into a figure afterwards.
    log = open(os.path.join(ROOT, "build", "bench", "rdm_compare.log"), log_mode)
    log.write("-- %d busy loops\n" % busy)

    def measure(label, m, size, count, timeout, loss, keys, which, nrounds):
        if a.quick:
            count = max(1, count // 4)
        results = {t: {k: [] for k in keys.split()} for t in which}
        out_per_msg = {t: [] for t in which}
        for _ in range(nrounds):
            for t in which:
                r = run_one(t, config_files.get(t), m, size, count, timeout, loss, netns, programs.get(t, PROGRAM))
                if r == "skipped":
                    continue
                for k in keys.split():
                    results[t][k].append(r.get(k) if r else None)
                log.write("%s %s size=%d loss=%d: %s\n" % (t, m, size, loss, r))
                if r and "udp_out" in r:
                    delivered = 2 * r.get("n", 0) if m == "rtt" else r.get("delivered", 0)
                    if delivered:
                        out_per_msg[t].append(r["udp_out"] / delivered)
        for k in keys.split():
            row = {}
            for t in which:
                if results[t][k]:
                    row[t] = summary(results[t][k], k)
            klabel = label if len(keys.split()) == 1 else "%s, %s" % (label, KEY_NAMES.get(k, k))
            rows.append((klabel, k, row))
        if loss:
            row = {t: (statistics.median(v), "%.2f" % statistics.median(v)) for t, v in out_per_msg.items() if v}
            rows.append(("%s: datagrams sent per message delivered" % label, "per", row))
        print("  " + label, file=sys.stderr, flush=True)

    def count_calls(label, m, size, count, timeout, unit, which, nrounds):
        if a.quick:
            count = max(1, count // 4)
        got = {t: {k: [] for k, _ in COUNT_KEYS} for t in which}
        for _ in range(nrounds):
            for t in which:
                r = run_one(t, config_files.get(t), m, size, count, timeout, 0, netns, programs.get(t, PROGRAM),
                            counted=True)
                log.write("counted %s %s size=%d: %s\n" % (t, m, size, r))
                for k, _ in COUNT_KEYS:
                    if isinstance(r, dict) and k in r:
                        got[t][k].append(r[k])
        for k, name in COUNT_KEYS:
            row = {t: (statistics.median(got[t][k]), "%.2f" % statistics.median(got[t][k])) for t in which if got[t][k]}
            rows.append(("%s: server %s per %s" % (label, name, unit), "per", row))
        print("  counted " + label, file=sys.stderr, flush=True)

    print("measuring (netns: %s, busy loops: %d)" % ("yes" if netns else "no", busy), file=sys.stderr)
    if a.counts or a.counts_only:
        which = [t for t in transports if t in ("enet", "netlane", "netlane before")]
        for label, m, size, count, timeout, unit in COUNTED:
            count_calls(label, m, size, count, timeout, unit, which, min(rounds, 3))
    for label, m, size, count, timeout, keys in LOOPBACK:
        if a.counts_only:
            break
        if a.ipv6_only and label not in IPV6_ROWS:
            continue
        which = [t for t in transports if t not in LOOPBACK_SKIP and (t != "udp" or m == "stream" or m.startswith("rtt"))
                 and (not m.startswith("idle") or t == "netlane") and (t != IPV6 or label in IPV6_ROWS)]
        measure(label, m, size, count, timeout, 0, keys, which, rounds)
    if netns and not a.ipv6_only and not a.counts_only:
        for loss, figures in LOSSY.items():
            for label, m, size, count, timeout, keys in figures:
                which = [t for t in transports if t != "udp"]
                measure(label, m, size, count, timeout, loss, keys, which, loss_rounds)
    log.close()

    # The table: each transport's median (and range), and netlane's ratio to
    # ENet and to plain UDP (for times, the other's time over netlane's, so
    # that above 1 is better throughout).
    ratios = (("netlane", "enet"), ("netlane auto", "enet"), ("netlane auto 64", "enet"), ("netlane", "udp"),
              ("netlane auto 64", "udp"))
    if a.before:
        ratios = (("netlane before", "enet"),) + ratios
    ratios += ((IPV6, "netlane"),)
    if a.ipv6_only:
        ratios = ((IPV6, "netlane"),)
    other_names = {"enet": "ENet", "udp": "UDP", "netlane": "netlane over 127.0.0.1"}
    head = ["measure"] + transports + ["%s / %s" % (a_, other_names[b_]) for a_, b_ in ratios]
    lines = ["| " + " | ".join(head) + " |", "|" + "---|" * len(head)]
    for label, key, row in rows:
        cells = [label] + [row[t][1] if t in row else "—" for t in transports]
        for nl, other in ratios:
            if nl in row and other in row and row[nl][0] and row[other][0]:
                # Above 1 is better throughout: more messages, or less
                # time and fewer datagrams.
                if key == "rate":
                    ratio = row[nl][0] / row[other][0]
                else:
                    ratio = row[other][0] / row[nl][0]
                cells.append("%.2f×" % ratio)
            else:
                cells.append("—")
        lines.append("| " + " | ".join(cells) + " |")
    table = "\n".join(lines)
    print(table)
    return table, busy, started, load_before, os.getloadavg()


def write_doc(a, netns, rounds, loss_rounds, sections):
    cpu = platform.processor() or "?"
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    parts = []
    for table, busy, started, lb, la in sections:
        parts.append("""## {title}

Started {date}; load average {lb:.1f} when the table started and {la:.1f}
when it ended.

{table}
""".format(title=("With %d busy loops on the machine" % busy) if busy else "Without busy loops",
           date=started.strftime("%Y-%m-%d %H:%M"), lb=lb[0], la=la[0], table=table))
    doc = """# Benchmarks: netlane conns beside ENet and plain UDP

Made by `make bench` (`bench/rdm_compare.py`, measuring with
`build/bench/bench_rdm_loopback`) on {date}. Two processes on 127.0.0.1:
the client sends as fast as the library accepts (netlane: `net_send_rdm`,
retried on -1; ENet 1.3.17: reliable packets on one channel, kept at most 64
commands ahead of the wire; plain UDP: `sendto`), the server receives in a
loop and, for round trips, echoes each message. Each figure is the median of
{rounds} rounds (loss runs: {loss_rounds}), with the range in brackets; in
every round the transports take turns. "!stall" marks a figure with a round
below a quarter of its median. Ratios are netlane's against the other, the
other way round for times and datagram counts, so that above 1 is better.

"netlane" runs with the library's defaults (queues of 16 slots that grow to 256
between two netlane ends, a fixed resend
every 500 ms, 64 KiB in flight); "netlane auto" sets `conn_resend_rate =
auto` (the resend wait follows the measured round trip, 2 ms at least, 500 ms
at most; it runs under loss only, since without loss it is "netlane");
"netlane auto 64" also sets both queues to 64 slots (kept at that size). "netlane [::1]" is
"netlane" over IPv6's loopback (one dual-stack socket per channel, as over
127.0.0.1), for the round trips and the 1 KiB throughput. {netns}

Machine: {cpu}, {cores} cores, Linux {kernel}. The load average of each
table is given with it (the machine is shared: busy-polling
processes then wait for a core, which favours protocols that put many
messages into one datagram, as ENet does, and as netlane does between two
netlane ends once a sender is 16 messages ahead of its peer (with a plain
peer it spends one datagram per message; between netlane ends its
acknowledgements are gathered, a fraction of a datagram per message, and
ride in front of an answer going the other way), and a window of
messages in flight as large as possible: figures of whole multiples of 4 ms
are rounds in which a process had lost its core). A table "with busy
loops" ran beside that many shells spinning in a loop, one per core. A
row "one core" holds both processes to one processor, as on a machine of
one core: a sender retrying at once then keeps the core from the receiver
that would free its window (netlane lets the processor go after 64 refused
sends in a row). A row "two cores" holds the server to one processor and
the client to another: every wake-up then wakes an idle processor, which
on this kind of machine costs far more than the libraries' own work (plain
UDP, waiting in poll, shows that floor); the row without either is the
scheduler's choice, one or the other in each round.
{counts}
{sections}""".format(date=sections[0][2].strftime("%Y-%m-%d %H:%M"), rounds=rounds, loss_rounds=loss_rounds,
           netns=("Every run had a private network namespace of its own; the loss runs drop that share of "
                  "the UDP datagrams with an nftables rule on its loopback, so each way, and the datagram "
                  "counts come from the namespace's own UDP counters.") if netns else
           "Private network namespaces were not available (root and nftables are needed), so the loss runs "
           "were left out.",
           counts=("\nThe rows of server calls count, with `bench/count_calls.c` preloaded into the "
                   "server, its calls between its first measured message and its last: the socket and wait "
                   "calls that enter the kernel (receives and sends of every kind, poll, epoll_wait, select, "
                   "read, write), heap allocations (malloc, calloc, realloc), pthread mutex locks, and "
                   "readings of the clock (clock_gettime, gettimeofday; the benchmark's server reads it once "
                   "a turn of its loop as well, whatever the library).\n")
           if a.counts or a.counts_only else "",
           cpu=cpu, cores=os.cpu_count(), kernel=platform.release(), sections="\n".join(parts))
    if a.out:
        doc += kept_sections(a.out)
        with open(a.out, "w") as f:
            f.write(doc)
        print("wrote " + os.path.relpath(a.out, ROOT), file=sys.stderr)


if __name__ == "__main__":
    main()
