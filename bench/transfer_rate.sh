#!/bin/sh
# A file through the host on 127.0.0.1 (bench/transfer_rate.cpp): its rate
# beside one conn's stream, and the delay of chat lines while it comes.
# Usage: bench/transfer_rate.sh [port] [MiB]; BUILD names the build folder.
set -e
cd "$(dirname "$0")/.."
echo "load before: $(cut -d' ' -f1-3 /proc/loadavg)"
"${BUILD:-build}/bench/bench_transfer_rate" "$@"
echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)"
