#!/bin/sh
# Reliable conns beside ENet and plain UDP, two processes on 127.0.0.1, with
# loss runs in private network namespaces where the machine allows them
# (bench/rdm_compare.py, measuring with bench_rdm_loopback); prints the
# table and writes docs/benchmarks.md: once on the machine as it is and once
# beside two busy loops, each with the server's syscalls, allocations and
# locks per message. Arguments go to rdm_compare.py and win over these
# (--quick for one short round, --rounds N, --out FILE, --busy 0).
set -e
cd "$(dirname "$0")/.."
exec python3 bench/rdm_compare.py --busy 0,2 --counts "$@"
