#!/bin/sh
# Reliable conns on 127.0.0.1: messages per second and round-trip time for
# 16- and 1024-byte messages. Arguments: stream count, round trips.
set -e
cd "$(dirname "$0")/.."
build/bench/bench_rdm_loopback "${1:-50000}" "${2:-2000}"
