#!/usr/bin/env python3
"""Draws the story control's own pictures: the toolbox bitmap (resource 1, 16 x 15, 16 colours)
and the control's icon (resource 2, 32 x 32 and 16 x 16, 16 colours).

Both show a channel page holding a table of stories, the newest marked red.
Run from this folder to redraw them: python3 draw_control_images.py
"""
import struct

from draw_icons import PALETTE

# Palette indexes (draw_icons.PALETTE); 0 is the transparent colour.
CLEAR, BLACK, GREY, WHITE, BLUE, RED, LIGHT, DARK = 0, 1, 2, 3, 4, 6, 11, 15


def story_page(w, h):
    """A page (w x h) with a title bar and rows of stories: an icon square and a line of text."""
    img = [[CLEAR] * w for _ in range(h)]
    for y in range(h):
        for x in range(w):
            edge = x in (0, w - 1) or y in (0, h - 1)
            img[y][x] = DARK if edge else WHITE
    bar = max(2, h // 6)
    for y in range(1, bar + 1):
        for x in range(1, w - 1):
            img[y][x] = BLUE
    pitch = 3 if h < 24 else 5
    mark = 1 if h < 24 else 3
    row, first = bar + 2, True
    while row + mark <= h - 2:
        for dy in range(mark):
            for dx in range(mark):
                img[row + dy][2 + dx] = RED if first else GREY
        for x in range(3 + mark, w - 2):
            img[row + mark // 2][x] = BLACK if first else GREY
        row += pitch
        first = False
    return img


def bmp(img, background=LIGHT):
    """A 4-bit BMP file; the transparent colour becomes the toolbox's light grey."""
    h, w = len(img), len(img[0])
    stride = ((w * 4 + 31) // 32) * 4
    rows = b""
    for line in reversed(img):
        packed = bytearray(stride)
        for x, c in enumerate(line):
            c = background if c == CLEAR else c
            packed[x // 2] |= c << (4 if x % 2 == 0 else 0)
        rows += bytes(packed)
    palette = b"".join(bytes((b, g, r, 0)) for (r, g, b) in PALETTE)
    info = struct.pack("<IiiHHIIiiII", 40, w, h, 1, 4, 0, len(rows), 2835, 2835, 16, 0)
    offset = 14 + len(info) + len(palette)
    return b"BM" + struct.pack("<IHHI", offset + len(rows), 0, 0, offset) + info + palette + rows


def icon_image(img):
    """One 4-bit icon image: colours, then the mask (1 where the background shows through)."""
    h, w = len(img), len(img[0])
    stride = ((w * 4 + 31) // 32) * 4
    mask_stride = ((w + 31) // 32) * 4
    colours, mask = b"", b""
    for line in reversed(img):
        packed, bits = bytearray(stride), bytearray(mask_stride)
        for x, c in enumerate(line):
            packed[x // 2] |= (0 if c == CLEAR else c) << (4 if x % 2 == 0 else 0)
            if c == CLEAR:
                bits[x // 8] |= 0x80 >> (x % 8)
        colours += bytes(packed)
        mask += bytes(bits)
    # Entry 0 is black in an icon, so that the masked pixels leave the background unchanged.
    palette = b"\0\0\0\0" + b"".join(bytes((b, g, r, 0)) for (r, g, b) in PALETTE[1:])
    info = struct.pack("<IiiHHIIiiII", 40, w, 2 * h, 1, 4, 0, len(colours) + len(mask), 0, 0, 16, 0)
    return info + palette + colours + mask


def ico(images):
    data = [icon_image(img) for img in images]
    head = struct.pack("<HHH", 0, 1, len(images))
    offset = len(head) + 16 * len(images)
    entries = b""
    for img, d in zip(images, data):
        entries += struct.pack("<BBBBHHII", len(img[0]), len(img), 16, 0, 1, 4, len(d), offset)
        offset += len(d)
    return head + entries + b"".join(data)


if __name__ == "__main__":
    with open("toolbox.bmp", "wb") as f:
        f.write(bmp(story_page(16, 15)))
    with open("control.ico", "wb") as f:
        f.write(ico([story_page(32, 32), story_page(16, 16)]))
