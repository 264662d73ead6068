#!/bin/sh
# Installs the Debian packages that building and testing Yammerlane need,
# when any is missing; `setup.sh fuzz` those of `make fuzz` (clang and its
# libFuzzer) as well. Needs root (or sudo) for apt-get.
set -e
# libenet-dev is there for the conn benchmark's comparison alone: neither
# the program nor the library links it.
PACKAGES="build-essential cmake pkg-config liballegro4-dev libgtest-dev libgmock-dev \
libbenchmark-dev xvfb xdotool x11-utils x11-apps netpbm python3 nftables iproute2 \
xfonts-base desktop-file-utils man-db groff-base dpkg-dev libsodium-dev \
libenet-dev"
if [ "$1" = fuzz ]; then PACKAGES="$PACKAGES clang libclang-rt-14-dev"; fi

missing=""
for p in $PACKAGES; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
[ -z "$missing" ] && exit 0

echo "Installing missing packages:$missing"
if [ "$(id -u)" = 0 ]; then SUDO=""; elif command -v sudo >/dev/null; then SUDO="sudo"; else
  echo "Not root: run as root:  apt-get update && apt-get install -y$missing" >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update
$SUDO apt-get install -y $missing
