#!/bin/sh
# A server's CPU as its conns grow, beside ENet (up to its 4,095-peer limit):
# per message at 10 (three times), 100, 1,000 and 10,000 conns under 1,000
# messages a second in all, and idle holding 1,000 and 10,000 conns with
# what a message costs beyond that; then the
# server's calls, counted, in runs of their own. The benchmark
# raises its own descriptor limit. The load average is printed with the
# figures: on a shared machine they move with it.
set -e
cd "$(dirname "$0")/../build"
cfg=$(mktemp)
trap 'rm -f "$cfg"' EXIT
# Every client is on 127.0.0.1: lift the bound on conns not yet heard from.
printf '[conns]\nconn_max_silent_per_address = 100000\nconn_max_silent = 100000\n' > "$cfg"
echo "load average: $(cut -d' ' -f1-3 /proc/loadavg)"
# Ten conns, where the two libraries run closest, three times in turn and
# for 20 s each: a 5-s run's figure moved by a quarter with the machine,
# a 20-s one's by a twentieth.
for n in 10 10 10 100 1000 10000; do
  s=5
  if [ $n -eq 10 ]; then s=20; fi
  echo "netlane $n conns, 1000/s: $(bench/bench_rdm_scale netlane $n --seconds $s --cfg "$cfg")"
  if [ $n -le 4095 ]; then echo "enet    $n conns, 1000/s: $(bench/bench_rdm_scale enet $n --seconds $s)"; fi
done
# The keep-alives of many idle conns are a cost per second, not per
# message: at 1,000 and 10,000 conns the same conns are held idle first,
# once their beats have spread over the host's ticks (10 s at 10,000), and
# a message's cost beyond that phase, and beyond the beats it still
# answered, is printed; each beside a 10-conn run of its own turn, since
# the figures move with the machine.
for n in 1000 10000; do
  settle=1
  if [ $n -eq 10000 ]; then settle=10; fi
  for round in 1 2; do
    echo "netlane 10 conns, 1000/s, beside the next: $(bench/bench_rdm_scale netlane 10 --seconds 10 --cfg "$cfg")"
    echo "netlane $n conns, idle then 1000/s: $(bench/bench_rdm_scale netlane $n --idle-first 1 --settle $settle --cfg "$cfg")"
  done
  if [ $n -le 4095 ]; then echo "enet    $n conns, idle then 1000/s: $(bench/bench_rdm_scale enet $n --idle-first 1 --settle $settle)"; fi
done
# The server's calls, counted by the preloaded counter in runs of their own
# (counting costs a little CPU): per message at 10 and 1,000 conns, per
# second holding 10,000 idle ones.
counter="$PWD/bench/libbench_count_calls.so"
if [ -f "$counter" ]; then
  for n in 10 1000; do
    echo "netlane $n conns, 1000/s, counted: $(LD_PRELOAD="$counter" bench/bench_rdm_scale netlane $n --cfg "$cfg")"
    echo "enet    $n conns, 1000/s, counted: $(LD_PRELOAD="$counter" bench/bench_rdm_scale enet $n)"
  done
  echo "netlane 10000 conns, idle, counted: $(LD_PRELOAD="$counter" bench/bench_rdm_scale netlane 10000 --rate 0 --settle 10 --cfg "$cfg")"
fi
echo "load average: $(cut -d' ' -f1-3 /proc/loadavg)"
