#!/bin/sh
# Chat latency: host + 8 headless clients on 127.0.0.1 (bench/chat_latency.cpp).
# Usage: bench/chat_latency.sh [port] [lines]; BUILD names the build folder.
set -e
cd "$(dirname "$0")/.."
exec "${BUILD:-build}/bench/bench_chat_latency" "$@"
