#!/usr/bin/env python3
"""Writes tonvara.png, the desktop's icon for the program: the main window's
own 32 x 32 icon (Icon.Data of ../forms/AnaForm.form, a Windows icon of
32-bit pixels) as a PNG, so that the menu and the window show one picture."""
import os
import re
import struct
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))


def icon_data():
    with open(os.path.join(HERE, "..", "forms", "AnaForm.form"), encoding="utf-8") as f:
        form = f.read()
    block = re.search(r"Icon\.Data = \{([0-9A-Fa-f\s]+)\}", form).group(1)
    return bytes.fromhex("".join(block.split()))


def rgba_rows(ico):
    reserved, kind, count = struct.unpack_from("<HHH", ico, 0)
    assert (reserved, kind, count) == (0, 1, 1)
    width, height, _, _, _, bits, _, offset = struct.unpack_from("<BBBBHHII", ico, 6)
    assert bits == 32
    header = struct.unpack_from("<IiiHHI", ico, offset)
    assert header[0] == 40 and header[1] == width and header[2] == 2 * height and header[4] == 32
    pixels = offset + 40
    rows = []
    # Bottom-up rows of B, G, R, A.
    for y in range(height - 1, -1, -1):
        row = bytearray()
        for x in range(width):
            b, g, r, a = ico[pixels + 4 * (y * width + x):pixels + 4 * (y * width + x) + 4]
            row += bytes((r, g, b, a))
        rows.append(bytes(row))
    return width, height, rows


def png(width, height, rows):
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

    raw = b"".join(b"\0" + row for row in rows)
    return (b"\x89PNG\r\n\x1a\n"
            + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(raw, 9))
            + chunk(b"IEND", b""))


if __name__ == "__main__":
    with open(os.path.join(HERE, "tonvara.png"), "wb") as f:
        f.write(png(*rgba_rows(icon_data())))
