#!/bin/sh
# Builds data.dat from the project's own sources with Allegro's dat tool:
#   0 join sound, 1 placeholder, 2 alert sound, 3 and 4 placeholders,
#   5 menu font, 6 message sound.
# The program addresses objects by index, so -n0 keeps the order in which
# they are added.
# usage: make_datafile.sh OUT.dat WORKDIR PYTHON FONT.pcf.gz
set -e
out=$1 work=$2 python=$3 pcf=$4
here=$(cd "$(dirname "$0")" && pwd)

mkdir -p "$work"
"$python" "$here/make_sounds.py" "$work"
"$python" "$here/pcf2fnt.py" "$pcf" "$work/menufont.fnt"
for n in 1 3 4; do printf 'unused %s\n' "$n" > "$work/spare$n.txt"; done

rm -f "$out.tmp"
add() { dat -n0 -c0 -a -t "$1" "$out.tmp" "$2" >/dev/null; }
add SAMP "$work/join.wav"
add DATA "$work/spare1.txt"
add SAMP "$work/alert.wav"
add DATA "$work/spare3.txt"
add DATA "$work/spare4.txt"
add FONT "$work/menufont.fnt"
add SAMP "$work/message.wav"
mv "$out.tmp" "$out"
