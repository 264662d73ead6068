#!/bin/sh
# What conns hold once their traffic is over: 200 and 1,000 conns (both
# ends in one process) each carry a burst of 64 messages of 1 KiB each way,
# then wait idle for 8 s, past a keep-alive's wait. The heap in use before,
# after the bursts and after the quiet.
set -e
cd "$(dirname "$0")/../build"
cfg=$(mktemp)
trap 'rm -f "$cfg"' EXIT
# Every client is on 127.0.0.1: lift the bound on conns not yet heard from.
printf '[conns]\nconn_max_silent_per_address = 100000\nconn_max_silent = 100000\n' > "$cfg"
for n in 200 1000; do
  echo "netlane $n conns, 64 x 1 KiB each way, 8 s quiet: $(bench/bench_rdm_memory --conns $n --cfg "$cfg")"
done
