#!/usr/bin/env python3
"""Draws the glyph strips of the bitmap-button kinds as 24-bit bottom-up BMP
files: BTN_OK, BTN_CANCEL, BTN_HELP, BTN_YES, BTN_NO, BTN_CLOSE, BTN_ABORT,
BTN_RETRY, BTN_IGNORE and BTN_ALL. Each strip is 36 x 18: the normal glyph,
then the disabled one (the same shape embossed in grey). The background is
olive (128, 128, 0), the strip's transparent colour (its bottom-left pixel).
Run from anywhere; the output depends on nothing but this file."""

import math
import os
import struct

KEY = (128, 128, 0)
SIZE = 18
WHITE = (255, 255, 255)
GREY = (128, 128, 128)


def blank():
    return [[None for _ in range(SIZE)] for _ in range(SIZE)]


def segment(px, x0, y0, x1, y1, width, colour):
    """A thick line: every pixel whose centre lies within width/2 of it."""
    for y in range(SIZE):
        for x in range(SIZE):
            cx, cy = x + 0.5, y + 0.5
            dx, dy = x1 - x0, y1 - y0
            length = dx * dx + dy * dy
            t = 0 if length == 0 else max(0.0, min(1.0, ((cx - x0) * dx + (cy - y0) * dy) / length))
            ex, ey = x0 + t * dx - cx, y0 + t * dy - cy
            if ex * ex + ey * ey <= (width / 2.0) ** 2:
                px[y][x] = colour


def ring(px, cx, cy, r, width, colour, start=0, end=360):
    for y in range(SIZE):
        for x in range(SIZE):
            dx, dy = x + 0.5 - cx, y + 0.5 - cy
            d = math.hypot(dx, dy)
            angle = math.degrees(math.atan2(-dy, dx)) % 360
            inside = start <= angle <= end if start <= end else (angle >= start or angle <= end)
            if abs(d - r) <= width / 2.0 and inside:
                px[y][x] = colour


def disc(px, cx, cy, r, colour):
    for y in range(SIZE):
        for x in range(SIZE):
            if math.hypot(x + 0.5 - cx, y + 0.5 - cy) <= r:
                px[y][x] = colour


def check(colour):
    px = blank()
    segment(px, 3.5, 9.5, 7.5, 13.5, 2.6, colour)
    segment(px, 7.5, 13.5, 15, 4, 2.6, colour)
    return px


def cross(colour):
    px = blank()
    segment(px, 4, 4, 14, 14, 2.6, colour)
    segment(px, 14, 4, 4, 14, 2.6, colour)
    return px


def question():
    px = blank()
    blue = (0, 0, 192)
    ring(px, 9, 6.5, 3.5, 2.2, blue, 300, 180)
    segment(px, 10.5, 9.5, 9, 11.5, 2.2, blue)
    disc(px, 9, 15, 1.3, blue)
    return px


def no_sign():
    px = blank()
    red = (192, 0, 0)
    ring(px, 9, 9, 6.5, 2.2, red)
    segment(px, 4.5, 13.5, 13.5, 4.5, 2.2, red)
    return px


def door():
    px = blank()
    frame = (96, 64, 0)
    leaf = (192, 128, 32)
    for y in range(2, 17):
        for x in range(4, 14):
            if x in (4, 13) or y == 2:
                px[y][x] = frame
    for y in range(3, 17):
        for x in range(5, 10):
            px[y][x] = leaf
    px[10][8] = (255, 255, 0)
    segment(px, 10, 16.5, 16, 16.5, 1, (0, 0, 0))
    return px


def stop():
    px = blank()
    disc(px, 9, 9, 7.5, (192, 0, 0))
    segment(px, 5.5, 5.5, 12.5, 12.5, 2, WHITE)
    segment(px, 12.5, 5.5, 5.5, 12.5, 2, WHITE)
    return px


def retry():
    px = blank()
    green = (0, 128, 0)
    ring(px, 9, 9, 5.5, 2.2, green, 60, 330)
    # arrow head at the upper end of the arc
    segment(px, 11.5, 2.5, 15.5, 4.5, 2, green)
    segment(px, 15.5, 4.5, 13.5, 8.5, 2, green)
    return px


def ignore():
    px = blank()
    dark = (0, 0, 128)
    segment(px, 3, 9, 13, 9, 2.4, dark)
    segment(px, 9.5, 5, 13.5, 9, 2.4, dark)
    segment(px, 9.5, 13, 13.5, 9, 2.4, dark)
    segment(px, 15.5, 4, 15.5, 14, 1.6, dark)
    return px


def double_check():
    px = blank()
    green = (0, 128, 0)
    segment(px, 1.5, 9.5, 4.5, 12.5, 2.2, green)
    segment(px, 4.5, 12.5, 10, 4, 2.2, green)
    segment(px, 7.5, 9.5, 10.5, 12.5, 2.2, green)
    segment(px, 10.5, 12.5, 16.5, 4, 2.2, green)
    return px


def disabled(px):
    """The shape embossed: white one pixel down-right, grey on top. White
    parts of the glyph count as holes in the shape."""
    shape = [[c is not None and c != WHITE for c in row] for row in px]
    out = blank()
    for y in range(SIZE):
        for x in range(SIZE):
            if shape[y][x] and x + 1 < SIZE and y + 1 < SIZE:
                out[y + 1][x + 1] = WHITE
    for y in range(SIZE):
        for x in range(SIZE):
            if shape[y][x]:
                out[y][x] = GREY
    return out


def write_bmp(path, rows):
    h = len(rows)
    w = len(rows[0])
    stride = (w * 3 + 3) & ~3
    data = bytearray()
    for row in reversed(rows):
        line = bytearray()
        for r, g, b in row:
            line += bytes((b, g, r))
        line += b"\0" * (stride - len(line))
        data += line
    header = struct.pack("<2sIHHI", b"BM", 54 + len(data), 0, 0, 54)
    info = struct.pack("<IiiHHIIiiII", 40, w, h, 1, 24, 0, len(data), 0, 0, 0, 0)
    with open(path, "wb") as f:
        f.write(header + info + data)


GLYPHS = {
    "BTN_OK": lambda: check((0, 128, 0)),
    "BTN_CANCEL": lambda: cross((192, 0, 0)),
    "BTN_HELP": question,
    "BTN_YES": lambda: check((0, 160, 0)),
    "BTN_NO": no_sign,
    "BTN_CLOSE": door,
    "BTN_ABORT": stop,
    "BTN_RETRY": retry,
    "BTN_IGNORE": ignore,
    "BTN_ALL": double_check,
}


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    for name, draw in GLYPHS.items():
        normal = draw()
        faded = disabled(normal)
        rows = []
        for y in range(SIZE):
            rows.append([c if c is not None else KEY for c in normal[y]] +
                        [c if c is not None else KEY for c in faded[y]])
        # The bottom-left pixel names the transparent colour: keep it free.
        rows[SIZE - 1][0] = KEY
        write_bmp(os.path.join(here, name + ".bmp"), rows)


if __name__ == "__main__":
    main()
