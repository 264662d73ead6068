#!/bin/sh
# A server's CPU as its conns grow, beside ENet (up to its 4,095-peer limit):
# per message at 10, 100, 1,000 and 10,000 conns under 1,000 messages a
# second in all, and idle holding 1,000 and 10,000 conns. The benchmark
# raises its own descriptor limit. The load average is printed with the
# figures: on a shared machine they move with it.
set -e
cd "$(dirname "$0")/../build"
cfg=$(mktemp)
trap 'rm -f "$cfg"' EXIT
# Every client is on 127.0.0.1: lift the bound on conns not yet heard from.
printf '[conns]\nconn_max_silent_per_address = 100000\nconn_max_silent = 100000\n' > "$cfg"
echo "load average: $(cut -d' ' -f1-3 /proc/loadavg)"
for n in 10 100 1000 10000; do
  echo "netlane $n conns, 1000/s: $(bench/bench_rdm_scale netlane $n --cfg "$cfg")"
  [ $n -le 4095 ] && echo "enet    $n conns, 1000/s: $(bench/bench_rdm_scale enet $n)"
done
for n in 1000 10000; do
  echo "netlane $n conns, idle: $(bench/bench_rdm_scale netlane $n --rate 0 --cfg "$cfg")"
  [ $n -le 4095 ] && echo "enet    $n conns, idle: $(bench/bench_rdm_scale enet $n --rate 0)"
done
echo "load average: $(cut -d' ' -f1-3 /proc/loadavg)"
