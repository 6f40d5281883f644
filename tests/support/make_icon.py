#!/usr/bin/env python3
"""make_icon.py OUT SIZE...: an .ico of 32-bit bitmaps, one per SIZE, each a different colour,
so a test can tell the images apart when it reads them back."""
import struct
import sys


def bitmap(size, colour):
    header = struct.pack("<IiiHHIIiiII", 40, size, 2 * size, 1, 32, 0, 0, 0, 0, 0, 0)
    pixels = bytes(colour) * (size * size)
    mask = b"\0" * (((size + 31) // 32) * 4 * size)
    return header + pixels + mask


def main():
    out, sizes = sys.argv[1], [int(s) for s in sys.argv[2:]]
    images = [bitmap(s, (40 * i % 256, 90, 200, 255)) for i, s in enumerate(sizes)]
    data = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, image in zip(sizes, images):
        data += struct.pack("<BBBBHHII", size % 256, size % 256, 0, 0, 1, 32, len(image), offset)
        offset += len(image)
    with open(out, "wb") as f:
        f.write(data + b"".join(images))


main()
