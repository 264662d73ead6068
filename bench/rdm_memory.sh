#!/bin/sh
# What conns hold once their traffic is over: 200 conns (both ends in one
# process) each carry a burst of 64 messages of 1 KiB each way, which grows
# their windows, and 1,000 conns one of 16, then all wait idle for 8 s, past
# a keep-alive's wait. The heap in use before, after the bursts and after
# the quiet. (1,000 bursts of 64 into the one listening port overflow its
# socket and take longer than the benchmark waits.)
set -e
cd "$(dirname "$0")/../build"
cfg=$(mktemp)
trap 'rm -f "$cfg"' EXIT
# Every client is on 127.0.0.1: lift the bound on conns not yet heard from.
printf '[conns]\nconn_max_silent_per_address = 100000\nconn_max_silent = 100000\n' > "$cfg"
for run in "200 64" "1000 16"; do
  set -- $run
  echo "netlane $1 conns, $2 x 1 KiB each way, 8 s quiet: $(bench/bench_rdm_memory --conns $1 --burst $2 --cfg "$cfg")"
done
