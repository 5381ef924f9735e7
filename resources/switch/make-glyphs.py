#!/usr/bin/env python3
"""Draws the switch's default knob strips, H_SWITCH.bmp (33 x 18: three
11 x 18 knobs) and V_SWITCH.bmp (54 x 11: three 18 x 11 knobs, the same caps
turned a quarter), as 24-bit bottom-up BMP files. Each strip holds the
normal knob (dark green stripe), the disabled knob (no stripe, faded ridges)
and the pressed knob (bright green stripe). The corners are magenta, the
strip's transparent colour (its top-left pixel). Run from anywhere; the
output depends on nothing but this file."""

import os
import struct

KEY = (255, 0, 255)
OUTLINE = (48, 48, 48)
FACE = (192, 192, 192)
LIGHT = (248, 248, 248)
SHADOW = (128, 128, 128)
RIDGE_DARK = (96, 96, 96)
FADED_DARK = (160, 160, 160)
STRIPE = {"normal": (0, 100, 0), "disabled": None, "pressed": (0, 255, 0)}


def knob(state):
    """One upright cap, 11 wide and 18 high, as rows of RGB tuples."""
    w, h = 11, 18
    px = [[FACE for _ in range(w)] for _ in range(h)]
    for y in range(h):
        for x in range(w):
            if x in (0, w - 1) or y in (0, h - 1):
                px[y][x] = OUTLINE
            elif x == 1 or y == 1:
                px[y][x] = LIGHT
            elif x == w - 2 or y == h - 2:
                px[y][x] = SHADOW
    for x, y in ((0, 0), (w - 1, 0), (0, h - 1), (w - 1, h - 1)):
        px[y][x] = KEY
    dark = FADED_DARK if state == "disabled" else RIDGE_DARK
    for y in (3, 5, 12, 14):
        for x in range(2, w - 2):
            px[y][x] = dark
            px[y + 1][x] = LIGHT
    stripe = STRIPE[state]
    if stripe is not None:
        for y in (8, 9):
            for x in range(2, w - 2):
                px[y][x] = stripe
    return px


def turned(px):
    """The cap turned a quarter: rows become columns."""
    h, w = len(px), len(px[0])
    return [[px[x][y] for x in range(h)] for y in range(w)]


def strip(caps):
    return [sum((cap[y] for cap in caps), []) for y in range(len(caps[0]))]


def write_bmp(path, px):
    h, w = len(px), len(px[0])
    row_size = (w * 3 + 3) & ~3
    pixels = bytearray()
    for row in reversed(px):
        line = bytearray()
        for r, g, b in row:
            line += bytes((b, g, r))
        line += bytes(row_size - len(line))
        pixels += line
    info = struct.pack("<IiiHHIIiiII", 40, w, h, 1, 24, 0, len(pixels), 3780, 3780, 0, 0)
    header = struct.pack("<2sIHHI", b"BM", 14 + len(info) + len(pixels), 0, 0, 14 + len(info))
    with open(path, "wb") as f:
        f.write(header + info + pixels)


here = os.path.dirname(os.path.abspath(__file__))
states = ("normal", "disabled", "pressed")
write_bmp(os.path.join(here, "H_SWITCH.bmp"), strip([knob(s) for s in states]))
write_bmp(os.path.join(here, "V_SWITCH.bmp"), strip([turned(knob(s)) for s in states]))
