#!/usr/bin/env python3
"""Synthesises the program's three sounds as mono 16-bit WAV files.

usage: make_sounds.py OUTDIR   (writes join.wav, alert.wav, message.wav)

join:    a rising two-note chime (C5 then G5), 0.45 s
alert:   three short bell pings at A5, 0.6 s
message: one soft low blip (E5 gliding down), 0.15 s
Every note has a short attack and an exponential decay, so none clicks.
"""
import math
import os
import struct
import sys
import wave

RATE = 22050


def note(freq, length, start=0.0, decay=8.0, glide=0.0, volume=0.5):
    """(start, samples) of one enveloped sine with a soft second harmonic."""
    samples = []
    for n in range(int(length * RATE)):
        t = n / RATE
        attack = min(1.0, t / 0.005)
        env = attack * math.exp(-decay * t)
        f = freq * (1.0 - glide * t / length)
        phase = 2 * math.pi * f * t
        samples.append(volume * env * (math.sin(phase) + 0.2 * math.sin(2 * phase)) / 1.2)
    return start, samples


def mix(length, notes):
    out = [0.0] * int(length * RATE)
    for start, samples in notes:
        first = int(start * RATE)
        for i, v in enumerate(samples):
            if first + i < len(out):
                out[first + i] += v
    # Fade the last 10 ms so the sound ends without a click.
    fade = int(0.01 * RATE)
    for i in range(fade):
        out[-1 - i] *= i / fade
    return out


def write_wav(path, samples):
    with wave.open(path, 'wb') as w:
        w.setnchannels(1)
        w.setsampwidth(2)
        w.setframerate(RATE)
        w.writeframes(b''.join(
            struct.pack('<h', int(max(-1.0, min(1.0, v)) * 32767)) for v in samples))


SOUNDS = {
    'join.wav': mix(0.45, [note(523.25, 0.2, 0.0, decay=10), note(783.99, 0.3, 0.15, decay=9)]),
    'alert.wav': mix(0.6, [note(880.0, 0.15, 0.2 * i, decay=18, volume=0.55) for i in range(3)]),
    'message.wav': mix(0.15, [note(659.25, 0.15, 0.0, decay=25, glide=0.25, volume=0.4)]),
}


def main():
    if len(sys.argv) != 2:
        sys.exit('usage: make_sounds.py OUTDIR')
    os.makedirs(sys.argv[1], exist_ok=True)
    for name, samples in SOUNDS.items():
        write_wav(os.path.join(sys.argv[1], name), samples)


if __name__ == '__main__':
    main()
