#!/usr/bin/env python3
"""Draws the small sample images that `make demo` converts (run once; the results are committed)."""
import math
import os
import struct

HERE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "samples")


def write_bmp(path, width, height, bits, rows, palette=()):
    stride = (width * bits // 8 + 3) & ~3
    data = b"".join(row + b"\0" * (stride - len(row)) for row in reversed(rows))
    table = b"".join(bytes((b, g, r, 0)) for (r, g, b) in palette)
    offset = 54 + len(table)
    header = struct.pack("<2sIHHI", b"BM", offset + len(data), 0, 0, offset)
    info = struct.pack("<IiiHHIIiiII", 40, width, height, 1, bits, 0, len(data), 2835, 2835, len(palette), 0)
    with open(path, "wb") as f:
        f.write(header + info + table + data)


def sunset(x, y, width=96, height=64):
    d = math.hypot(x - 60, y - 30)
    if d < 14:
        return (255, 200 - int(d * 4), 40)
    return (int(40 + 200 * y / height), int(60 + 80 * y / height), int(200 - 150 * y / height))


def main():
    rows = [b"".join(bytes(reversed(sunset(x, y))) for x in range(96)) for y in range(64)]
    write_bmp(os.path.join(HERE, "sunset.bmp"), 96, 64, 24, rows)

    palette = [(255 * i // 15, 255 * (15 - i) // 15, 128) for i in range(16)]
    rows = [bytes((x // 4 + y // 6) % 16 for x in range(50)) for y in range(30)]
    write_bmp(os.path.join(HERE, "stripes.bmp"), 50, 30, 8, rows, palette)

    with open(os.path.join(HERE, "notes.txt"), "w") as f:
        f.write("Pixmorph sample text: shifted by -32 with code 107 and back with code 109.\n")


if __name__ == "__main__":
    main()
