#!/bin/sh
# Runs every benchmark script under bench/ against the build in build/.
set -e
cd "$(dirname "$0")/.."
for b in bench/*.sh; do
  [ -x "$b" ] || continue
  echo "== $b"
  "$b"
done
