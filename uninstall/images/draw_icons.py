#!/usr/bin/env python3
"""Draws the uninstall program's icons as 32x32, 16-colour .ico files with a transparency mask:
128 the program (a box with a red cross), 290 a round bullet, 292 a green check mark.
Run from this folder; the .ico files are committed beside it."""
import math
import struct

# The standard 16-colour palette (B, G, R, 0).
PALETTE = [(0, 0, 0), (0, 0, 128), (0, 128, 0), (0, 128, 128), (128, 0, 0), (128, 0, 128), (128, 128, 0),
           (192, 192, 192), (128, 128, 128), (0, 0, 255), (0, 255, 0), (0, 255, 255), (255, 0, 0),
           (255, 0, 255), (255, 255, 0), (255, 255, 255)]  # (R, G, B)
BLACK, NAVY, DARK_GREEN, SILVER, BLUE, GREEN, RED, WHITE = 0, 1, 2, 7, 9, 10, 12, 15
SIZE = 32


def write_ico(path, pixels):
    """pixels[y][x]: a palette index, or None for transparent."""
    xor = bytearray()
    for y in reversed(range(SIZE)):  # bottom-up rows
        row = pixels[y]
        for x in range(0, SIZE, 2):
            a = row[x] if row[x] is not None else 0
            b = row[x + 1] if row[x + 1] is not None else 0
            xor.append((a << 4) | b)
    mask = bytearray()
    for y in reversed(range(SIZE)):
        bits = 0
        for x in range(SIZE):
            bits = (bits << 1) | (1 if pixels[y][x] is None else 0)
        mask += bits.to_bytes(4, "big")
    palette = b"".join(struct.pack("<BBBB", b, g, r, 0) for (r, g, b) in PALETTE)
    header = struct.pack("<IiiHHIIiiII", 40, SIZE, SIZE * 2, 1, 4, 0, len(xor) + len(mask), 0, 0, 16, 0)
    image = header + palette + bytes(xor) + bytes(mask)
    directory = struct.pack("<HHH", 0, 1, 1) + struct.pack("<BBBBHHII", SIZE, SIZE, 16, 0, 1, 4, len(image), 22)
    with open(path, "wb") as f:
        f.write(directory + image)


def blank():
    return [[None] * SIZE for _ in range(SIZE)]


def program_icon():
    p = blank()
    for y in range(4, 28):
        for x in range(4, 28):
            edge = x in (4, 27) or y in (4, 27)
            p[y][x] = BLACK if edge else (NAVY if y < 9 else SILVER)
    for i in range(11, 25):  # a red cross over the box: the program that removes
        for w in (-1, 0, 1):
            p[i][i + w - 1] = RED
            p[i][35 - i + w - 1] = RED
    return p


def bullet_icon():
    p = blank()
    cx = cy = 15.5
    for y in range(SIZE):
        for x in range(SIZE):
            d = math.hypot(x - cx, y - cy)
            if d <= 6.5:
                p[y][x] = BLUE if d < 5.5 else NAVY
    return p


def check_icon():
    p = blank()
    stroke = [(8, 16), (13, 22), (24, 9)]
    for (x0, y0), (x1, y1) in zip(stroke, stroke[1:]):
        steps = max(abs(x1 - x0), abs(y1 - y0)) * 4
        for s in range(steps + 1):
            x = x0 + (x1 - x0) * s / steps
            y = y0 + (y1 - y0) * s / steps
            for dx in range(-2, 3):
                for dy in range(-2, 3):
                    if dx * dx + dy * dy <= 4:
                        xi, yi = int(round(x + dx)), int(round(y + dy))
                        p[yi][xi] = GREEN if dx * dx + dy * dy <= 2 else DARK_GREEN
    return p


write_ico("uninstall.ico", program_icon())
write_ico("bullet.ico", bullet_icon())
write_ico("check.ico", check_icon())
