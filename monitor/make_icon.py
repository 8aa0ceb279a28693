#!/usr/bin/env python3
"""Draws the monitor's icon: a 32 x 32, 256-colour thermometer over a scale. Usage: make_icon.py OUT.ico"""
import struct
import sys

W = H = 32
palette = [(0, 0, 0)] * 256
palette[1] = (255, 255, 255)   # glass
palette[2] = (200, 30, 30)     # mercury
palette[3] = (40, 60, 140)     # outline and scale
palette[4] = (220, 230, 245)   # background disc

def pixel(x, y):
    """Colour index at (x, y), y counted from the top."""
    cx = 16
    if (x - 20) ** 2 + (y - 24) ** 2 <= 25:      # bulb
        return 2 if (x - 20) ** 2 + (y - 24) ** 2 <= 12 else 3
    if 18 <= x <= 22 and 3 <= y <= 20:            # stem
        if x in (18, 22) or y == 3:
            return 3
        return 2 if y >= 10 else 1
    if 9 <= x <= 13 and y in range(5, 22, 3):     # scale marks
        return 3
    if (x - cx + 0.5) ** 2 + (y - cx + 0.5) ** 2 <= 15.5 ** 2:
        return 4
    return 0

def transparent(x, y):
    return pixel(x, y) == 0

rows = []
for y in range(H - 1, -1, -1):                     # bottom-up
    rows.append(bytes(pixel(x, y) for x in range(W)))
xor = b"".join(rows)
mask_rows = []
for y in range(H - 1, -1, -1):
    bits = 0
    for x in range(W):
        bits = (bits << 1) | (1 if transparent(x, y) else 0)
    mask_rows.append(struct.pack(">I", bits))
mask = b"".join(mask_rows)
pal = b"".join(struct.pack("BBBB", b, g, r, 0) for (r, g, b) in palette)
header = struct.pack("<IiiHHIIiiII", 40, W, H * 2, 1, 8, 0, len(xor) + len(mask), 0, 0, 256, 0)
image = header + pal + xor + mask
icondir = struct.pack("<HHH", 0, 1, 1)
entry = struct.pack("<BBBBHHII", W, H, 0, 0, 1, 8, len(image), 6 + 16)
with open(sys.argv[1], "wb") as f:
    f.write(icondir + entry + image)
