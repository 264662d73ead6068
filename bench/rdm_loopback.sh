#!/bin/sh
# Reliable conns beside ENet and plain UDP, two processes on 127.0.0.1, with
# loss runs in private network namespaces where the machine allows them
# (bench/rdm_compare.py, measuring with bench_rdm_loopback); prints the
# table and writes docs/benchmarks.md. Arguments go to rdm_compare.py
# (--quick for one short round, --rounds N, --out FILE).
set -e
cd "$(dirname "$0")/.."
exec python3 bench/rdm_compare.py "$@"
