#!/bin/sh
# Reliable conns on 127.0.0.1: messages per second and round-trip time for
# 16- and 1024-byte messages, then the same over the IPX driver (kept on
# loopback) and the local host driver. Arguments: stream count, round trips.
set -e
cd "$(dirname "$0")/.."
for driver in udp ipx local; do
  build/bench/bench_rdm_drivers "${1:-50000}" "${2:-2000}" "$driver"
done
