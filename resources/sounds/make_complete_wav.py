#!/usr/bin/env python3
"""Writes Complete.wav, the end-of-run sound: two soft bell-like notes (A5, then E6).

Run from this folder; the committed file is the output of this script.
"""
import math
import struct
import wave

RATE = 11025
LENGTH = 0.62  # seconds


def note(t, start, freq, decay):
    if t < start:
        return 0.0
    x = t - start
    attack = min(1.0, x / 0.006)
    env = attack * math.exp(-x / decay)
    # A bell: the fundamental with a quieter octave and a faint fifth above it.
    return env * (math.sin(2 * math.pi * freq * x)
                  + 0.35 * math.sin(2 * math.pi * 2 * freq * x)
                  + 0.12 * math.sin(2 * math.pi * 3 * freq * x))


def main():
    frames = bytearray()
    count = int(RATE * LENGTH)
    for i in range(count):
        t = i / RATE
        v = 0.55 * note(t, 0.0, 880.0, 0.16) + 0.6 * note(t, 0.13, 1318.5, 0.2)
        fade = min(1.0, (count - i) / (0.03 * RATE))  # no click at the end
        s = max(-1.0, min(1.0, 0.42 * v * fade))
        frames += struct.pack('<h', int(s * 32767))
    with wave.open('Complete.wav', 'wb') as w:
        w.setnchannels(1)
        w.setsampwidth(2)
        w.setframerate(RATE)
        w.writeframes(bytes(frames))


if __name__ == '__main__':
    main()
