#!/usr/bin/env python3
"""Draws the story control's 16 icons (21 x 15 GIF89a, transparent background).

Icon n (resource 16 + n) shows the icon flags n: 0-3 a story (+1 it has text, +2 its content is
on this computer), 4 Flash, 5 wallpaper, 6 audio, 7 data parcel; +8 the story is kept (a pin).
Run from this folder to redraw them: python3 draw_icons.py
"""
import struct

W, H = 21, 15
PALETTE = [
    (255, 0, 255),    # 0 transparent
    (0, 0, 0),        # 1 black
    (128, 128, 128),  # 2 grey
    (255, 255, 255),  # 3 white
    (0, 0, 192),      # 4 blue
    (0, 160, 0),      # 5 green
    (224, 0, 0),      # 6 red
    (255, 200, 0),    # 7 yellow
    (120, 180, 255),  # 8 sky
    (150, 90, 30),    # 9 brown
    (210, 160, 90),   # 10 cardboard
    (192, 192, 192),  # 11 light grey
    (0, 96, 0),       # 12 dark green
    (128, 0, 128),    # 13 purple
    (255, 128, 0),    # 14 orange
    (64, 64, 64),     # 15 dark grey
]


def blank():
    return [[0] * W for _ in range(H)]


def put(img, x, y, c):
    if 0 <= x < W and 0 <= y < H:
        img[y][x] = c


def rect(img, x0, y0, x1, y1, fill, edge=None):
    for y in range(y0, y1 + 1):
        for x in range(x0, x1 + 1):
            border = x in (x0, x1) or y in (y0, y1)
            put(img, x, y, edge if (edge is not None and border) else fill)


def sprite(img, x0, y0, rows, colours):
    for dy, row in enumerate(rows):
        for dx, ch in enumerate(row):
            if ch != '.':
                put(img, x0 + dx, y0 + dy, colours[ch])


def page(img, text):
    sprite(img, 2, 1, [
        "gggggggg...",
        "gwwwwwwgg..",
        "gwwwwwwgwg.",
        "gwwwwwwggggg"[:11],
        "gwwwwwwwwwg",
        "gwwwwwwwwwg",
        "gwwwwwwwwwg",
        "gwwwwwwwwwg",
        "gwwwwwwwwwg",
        "gwwwwwwwwwg",
        "gwwwwwwwwwg",
        "gwwwwwwwwwg",
        "ggggggggggg",
    ], {'g': 2, 'w': 3})
    if text:
        for y in (6, 8, 10, 12):
            for x in range(4, 11 if y != 12 else 8):
                put(img, x, y, 4)
        for x in range(4, 8):
            put(img, x, 4, 4)


def local_mark(img):
    # A green arrow down onto a small drive: the content is on this computer.
    sprite(img, 14, 6, [
        "..ggg..",
        "..ggg..",
        "ggggggg",
        ".ggggg.",
        "..ggg..",
        "...g...",
        "kkkkkkk",
        "kllllyk",
        "kkkkkkk",
    ], {'g': 5, 'k': 15, 'l': 11, 'y': 5})


def kept_mark(img):
    # A red pin in the top right corner.
    sprite(img, 15, 0, [
        ".rrrr.",
        "rrrrrr",
        ".rrrr.",
        "..rr..",
        "..k...",
        ".k....",
    ], {'r': 6, 'k': 1})


def flash(img):
    sprite(img, 3, 0, [
        "......yyyyy.",
        ".....yyyyy..",
        "....yyyyy...",
        "...yyyyy....",
        "..yyyyyyyyy.",
        ".....yyyyy..",
        "....yyyyy...",
        "...yyyyy....",
        "..yyyy......",
        ".yyy........",
        "yy..........",
    ], {'y': 14})
    for y in range(0, 11):
        for x in range(W):
            if img[y][x] == 14 and (x + y) % 5 == 0:
                img[y][x] = 7


def wallpaper(img):
    rect(img, 0, 2, 13, 13, 8, 9)
    sprite(img, 1, 3, [
        "........yy..",
        ".......yyyy.",
        "........yy..",
        "....g.......",
        "...ggg......",
        "..ggggg..g..",
        ".ggggggg.ggg",
        "gggggggggggg",
        "dddddddddddd",
        "dddddddddddd",
    ], {'y': 7, 'g': 12, 'd': 5})


def audio(img):
    sprite(img, 1, 0, [
        "......kkkkkk",
        "......kkkkkk",
        "......k....k",
        "......k....k",
        "......k....k",
        "......k....k",
        "......k....k",
        "......k....k",
        "...kkkk..kkk",
        "..kkkkk.kkkk",
        "..kkkk..kkkk",
        "...kk....kk.",
    ], {'k': 13})
    sprite(img, 0, 13, ["ppppppppppppp"], {'p': 11})


def parcel(img):
    sprite(img, 0, 1, [
        "....bbbbbbbbb.",
        "...bcccccccbb.",
        "..bcccccccbcb.",
        ".bbbbbbbbbccb.",
        ".bcccctcccbcb.",
        ".bcccctcccbcb.",
        ".bcccctcccbcb.",
        ".bttttttttbcb.",
        ".bcccctcccbcb.",
        ".bcccctcccbb..",
        ".bcccctcccb...",
        ".bbbbbbbbbb...",
    ], {'b': 9, 'c': 10, 't': 6})


def icon(flags):
    img = blank()
    kind = flags & 7
    if kind < 4:
        page(img, kind & 1)
        if kind & 2:
            local_mark(img)
    else:
        {4: flash, 5: wallpaper, 6: audio, 7: parcel}[kind](img)
    if flags & 8:
        kept_mark(img)
    return img


def lzw(pixels, min_size=4):
    # Literal codes only, with a clear code before the table would widen the codes: simple,
    # and every decoder reads it.
    clear, end = 1 << min_size, (1 << min_size) + 1
    width = min_size + 1
    codes = [clear]
    run = 0
    for p in pixels:
        if run == 12:
            codes.append(clear)
            run = 0
        codes.append(p)
        run += 1
    codes.append(end)
    out, acc, bits = bytearray(), 0, 0
    for c in codes:
        acc |= c << bits
        bits += width
        while bits >= 8:
            out.append(acc & 0xff)
            acc >>= 8
            bits -= 8
    if bits:
        out.append(acc & 0xff)
    blocks = bytearray()
    for i in range(0, len(out), 255):
        chunk = out[i:i + 255]
        blocks += bytes([len(chunk)]) + chunk
    return bytes([min_size]) + bytes(blocks) + b"\x00"


def gif(img):
    head = b"GIF89a" + struct.pack("<HHBBB", W, H, 0xF3, 0, 0)  # global table of 16 colours
    table = b"".join(bytes(c) for c in PALETTE)
    control = b"\x21\xF9\x04\x01\x00\x00\x00\x00"  # transparent colour 0
    desc = b"\x2C" + struct.pack("<HHHHB", 0, 0, W, H, 0)
    pixels = [c for row in img for c in row]
    return head + table + control + desc + lzw(pixels) + b"\x3B"


NAMES = ["story", "story_text", "story_local", "story_text_local", "flash", "wallpaper", "audio", "parcel"]

if __name__ == "__main__":
    for flags in range(16):
        name = NAMES[flags & 7] + ("_kept" if flags & 8 else "")
        with open(f"icon{16 + flags}_{name}.gif", "wb") as f:
            f.write(gif(icon(flags)))
