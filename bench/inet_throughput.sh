#!/bin/sh
# Datagrams per second between two Internet-driver channels on 127.0.0.1.
set -e
cd "$(dirname "$0")/.."
build/bench/bench_inet_throughput "${1:-200000}"
