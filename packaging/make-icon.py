#!/usr/bin/env python3
"""Draws Parlevox.png: a rounded accent square with a dark waveform (no imaging library needed)."""
import struct
import sys
import zlib

SIZE = 256
ACCENT = (0xCF, 0xE8, 0x6B)
INK = (0x14, 0x20, 0x1C)
BARS = [0.28, 0.52, 0.80, 0.60, 0.38, 0.70, 0.46, 0.24]


def coverage_rounded_rect(x, y, left, top, right, bottom, radius):
    """1 inside, 0 outside, with a one-pixel soft edge."""
    cx = min(max(x, left + radius), right - radius)
    cy = min(max(y, top + radius), bottom - radius)
    distance = ((x - cx) ** 2 + (y - cy) ** 2) ** 0.5 - radius
    if x < left or x > right or y < top or y > bottom:
        return 0.0
    return max(0.0, min(1.0, 0.5 - distance))


def pixel(x, y):
    px, py = x + 0.5, y + 0.5
    square = coverage_rounded_rect(px, py, 8, 8, SIZE - 8, SIZE - 8, 56)
    if square == 0:
        return (0, 0, 0, 0)
    bar_width, gap = 14, 10
    total = len(BARS) * bar_width + (len(BARS) - 1) * gap
    start = (SIZE - total) / 2
    ink = 0.0
    for i, height in enumerate(BARS):
        left = start + i * (bar_width + gap)
        half = height * (SIZE - 80) / 2
        ink = max(ink, coverage_rounded_rect(px, py, left, SIZE / 2 - half, left + bar_width,
                                             SIZE / 2 + half, bar_width / 2))
    colour = tuple(round(a * (1 - ink) + b * ink) for a, b in zip(ACCENT, INK))
    return colour + (round(255 * square),)


def main(path):
    rows = b"".join(b"\0" + bytes(c for x in range(SIZE) for c in pixel(x, y)) for y in range(SIZE))
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
    png = b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", SIZE, SIZE, 8, 6, 0, 0, 0))
    png += chunk(b"IDAT", zlib.compress(rows, 9)) + chunk(b"IEND", b"")
    with open(path, "wb") as out:
        out.write(png)


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "Parlevox.png")
