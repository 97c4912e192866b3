#!/usr/bin/env python3
"""Draws Parlevox's icons: a rounded accent square with a dark waveform (no imaging library needed).

Writes, from the folder given (default: the folder of this script):
  Parlevox.png                                      the 256 px icon bundled in the program
  icons/hicolor/<n>x<n>/apps/<id>.png               the launcher sizes
  icons/hicolor/scalable/apps/<id>.svg              the same drawing as SVG
  icons/hicolor/symbolic/apps/<id>-symbolic.svg     the one-colour waveform for panels and lists
Below 48 px the waveform has fewer, pixel-aligned bars: eight bars would blur into a grey block.
"""
import os
import struct
import sys
import zlib

APP_ID = "org.parlevox.Parlevox"
ACCENT = (0xCF, 0xE8, 0x6B)
INK = (0x14, 0x20, 0x1C)
BARS = [0.28, 0.52, 0.80, 0.60, 0.38, 0.70, 0.46, 0.24]
# Fewer bars for the small sizes, keeping the two peaks of the full waveform.
SMALL_BARS = {
    3: [0.52, 0.80, 0.46],
    4: [0.52, 0.80, 0.46, 0.70],
    5: [0.38, 0.80, 0.52, 0.70, 0.30],
    6: [0.40, 0.80, 0.55, 0.38, 0.70, 0.30],
}
# size: (bar count, bar width, gap, margin), all in whole pixels.
SMALL_GRID = {16: (3, 2, 2, 1), 22: (4, 2, 2, 1), 24: (5, 2, 2, 1), 32: (6, 2, 2, 1)}
SIZES = [16, 22, 24, 32, 48, 64, 128, 256, 512]


def hex_colour(rgb):
    return "#%02X%02X%02X" % rgb


def design(size):
    """The square and the bars, as (left, top, right, bottom, radius) in pixels of `size`."""
    scale = size / 256
    if size in SMALL_GRID:
        count, bar_width, gap, margin = SMALL_GRID[size]
        heights = SMALL_BARS[count]
    else:
        bar_width, gap, margin = 14 * scale, 10 * scale, 8 * scale
        heights = BARS
    square = (margin, margin, size - margin, size - margin, 56 * scale)
    total = len(heights) * bar_width + (len(heights) - 1) * gap
    start = (size - total) / 2
    bars = []
    for i, height in enumerate(heights):
        left = start + i * (bar_width + gap)
        half = height * (size - 80 * scale) / 2
        if size in SMALL_GRID:
            half = max(bar_width / 2, round(half))
        bars.append((left, size / 2 - half, left + bar_width, size / 2 + half, bar_width / 2))
    return square, bars


def coverage_rounded_rect(x, y, left, top, right, bottom, radius):
    """1 inside, 0 outside, with a one-pixel soft edge."""
    cx = min(max(x, left + radius), right - radius)
    cy = min(max(y, top + radius), bottom - radius)
    distance = ((x - cx) ** 2 + (y - cy) ** 2) ** 0.5 - radius
    if x < left or x > right or y < top or y > bottom:
        return 0.0
    return max(0.0, min(1.0, 0.5 - distance))


def pixel(x, y, square, bars):
    px, py = x + 0.5, y + 0.5
    cover = coverage_rounded_rect(px, py, *square)
    if cover == 0:
        return (0, 0, 0, 0)
    ink = 0.0
    for bar in bars:
        if bar[0] - 1 <= px <= bar[2] + 1:
            ink = max(ink, coverage_rounded_rect(px, py, *bar))
    colour = tuple(round(a * (1 - ink) + b * ink) for a, b in zip(ACCENT, INK))
    return colour + (round(255 * cover),)


def png(size):
    square, bars = design(size)
    rows = b"".join(
        b"\0" + bytes(c for x in range(size) for c in pixel(x, y, square, bars)) for y in range(size)
    )

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

    data = b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0))
    return data + chunk(b"IDAT", zlib.compress(rows, 9)) + chunk(b"IEND", b"")


def rect(box, colour):
    left, top, right, bottom, radius = box
    return (f'  <rect x="{left:g}" y="{top:g}" width="{right - left:g}" height="{bottom - top:g}" '
            f'rx="{radius:g}" fill="{colour}"/>\n')


def scalable_svg():
    square, bars = design(256)
    body = rect(square, hex_colour(ACCENT)) + "".join(rect(bar, hex_colour(INK)) for bar in bars)
    return ('<svg xmlns="http://www.w3.org/2000/svg" width="256" height="256" viewBox="0 0 256 256">\n'
            + body + "</svg>\n")


def symbolic_svg():
    # The waveform alone on a 16 px grid; desktops recolour it to the text colour.
    heights = [4, 10, 14, 8, 4]
    body = "".join(rect((1 + 3 * i, 8 - h / 2, 3 + 3 * i, 8 + h / 2, 1), "#222222")
                   for i, h in enumerate(heights))
    return ('<svg xmlns="http://www.w3.org/2000/svg" width="16" height="16" viewBox="0 0 16 16">\n'
            + body + "</svg>\n")


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as out:
        out.write(data if isinstance(data, bytes) else data.encode())


def main(root):
    hicolor = os.path.join(root, "icons", "hicolor")
    for size in SIZES:
        data = png(size)
        write(os.path.join(hicolor, f"{size}x{size}", "apps", APP_ID + ".png"), data)
        if size == 256:
            write(os.path.join(root, "Parlevox.png"), data)
    write(os.path.join(hicolor, "scalable", "apps", APP_ID + ".svg"), scalable_svg())
    write(os.path.join(hicolor, "symbolic", "apps", APP_ID + "-symbolic.svg"), symbolic_svg())


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else os.path.dirname(os.path.abspath(__file__)))
