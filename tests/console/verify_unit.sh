#!/bin/sh
# The example service unit passes `systemd-analyze verify`, with its
# ExecStart pointed at the built program; skipped (77) where systemd's tools
# are missing.
# Usage: verify_unit.sh UNIT PROGRAM
set -e
command -v systemd-analyze >/dev/null 2>&1 || { echo "no systemd-analyze: skipped"; exit 77; }
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
sed "s|/usr/bin/yammerlane|$2|" "$1" > "$dir/yammerlane-host.service"
grep -q '^DynamicUser=yes' "$dir/yammerlane-host.service"
grep -q '^LoadCredential=key:' "$dir/yammerlane-host.service"
systemd-analyze verify --man=no "$dir/yammerlane-host.service"
echo "verified"
