#!/bin/sh
# Keyed chats: Argon2id's time and the host's CPU per sealed line (bench/seal_cost.cpp).
# Usage: bench/seal_cost.sh [lines]; BUILD names the build folder.
set -e
cd "$(dirname "$0")/.."
exec "${BUILD:-build}/bench/bench_seal_cost" "$@"
