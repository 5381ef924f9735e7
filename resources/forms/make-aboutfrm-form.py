#!/usr/bin/env python3
"""Writes AboutFrm.form, the stored form of the about window: the grey
panel the particle scene is drawn on, the "Tamam" button over it, the
maker's name, address and web address under it, the 10 ms timer, and two
pictures drawn here: the 64 x 64, 24-bit particle (Image1, also the source
of the scene's texture) and the window's 32 x 32 icon. Run from anywhere;
the output depends only on this file."""

import math
import os
import struct
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from formtext import hex_block, text  # noqa: E402

MAKER = "Velmora Ses Sistemleri"
ADDRESS = "Örnek Mah. Kayıt Sok. No:7 Kadıköy/İstanbul - 0216 555 01 23"
WEB = "www.velmora.example"

FORM = """object AboutFrm: TAboutFrm
  Left = 284
  Top = 160
  BorderIcons = []
  BorderStyle = bsSingle
  Caption = CAPTION
  ClientHeight = 346
  ClientWidth = 453
  Color = clBtnFace
  Font.Charset = DEFAULT_CHARSET
  Font.Color = clWindowText
  Font.Height = -11
  Font.Name = 'MS Sans Serif'
  Font.Style = []
  Icon.Data = ICON
  Position = poDesktopCenter
  OnCreate = FormCreate
  OnDestroy = FormDestroy
  OnResize = FormResize
  OnShow = FormShow
  PixelsPerInch = 96
  TextHeight = 13
  object Image1: TImage
    Left = 96
    Top = 288
    Width = 25
    Height = 25
    Picture.Data = PICTURE
    Stretch = True
  end
  object Label3: TLabel
    Left = 128
    Top = 288
    Width = 180
    Height = 22
    Caption = MAKER
    Font.Charset = TURKISH_CHARSET
    Font.Color = clBlue
    Font.Height = -19
    Font.Name = 'Arial Narrow'
    Font.Style = [fsBold]
    ParentFont = False
  end
  object Label2: TLabel
    Left = 101
    Top = 312
    Width = 250
    Height = 16
    Caption = ADDRESS
    Font.Charset = TURKISH_CHARSET
    Font.Color = clWindowText
    Font.Height = -11
    Font.Name = 'Arial Narrow'
    Font.Style = []
    ParentFont = False
    Transparent = True
  end
  object Label5: TLabel
    Left = 189
    Top = 328
    Width = 80
    Height = 16
    Caption = WEB
    Font.Charset = TURKISH_CHARSET
    Font.Color = clWindowText
    Font.Height = -11
    Font.Name = 'Arial Narrow'
    Font.Style = []
    ParentFont = False
    Transparent = True
  end
  object Label1: TLabel
    Left = 552
    Top = 464
    Width = 32
    Height = 13
    Caption = 'Label1'
  end
  object Panel1: TPanel
    Left = 0
    Top = 0
    Width = 457
    Height = 289
    BevelOuter = bvLowered
    BevelWidth = 2
    BorderStyle = bsSingle
    BorderWidth = 2
    Color = clGray
    FullRepaint = False
    TabOrder = 0
  end
  object Button1: TButton
    Left = 200
    Top = 256
    Width = 75
    Height = 25
    Caption = 'Tamam'
    Font.Charset = DEFAULT_CHARSET
    Font.Color = clWindowText
    Font.Height = -11
    Font.Name = 'MS Sans Serif'
    Font.Style = [fsBold]
    ParentFont = False
    TabOrder = 1
    OnClick = Button1Click
  end
  object Timer1: TTimer
    Enabled = False
    Interval = 10
    OnTimer = Timer1Timer
  end
end
"""


def particle():
    """64 x 64 at 24 bits, bottom row first: a white-hot core fading through
    a pale blue halo to black, which adds nothing under additive blending."""
    size = 64
    rows = bytearray()
    for y in reversed(range(size)):
        for x in range(size):
            d = math.hypot(x - 31.5, y - 31.5) / 31.5
            glow = max(0.0, 1.0 - d) ** 2
            core = max(0.0, 1.0 - d * 3.0)
            r = min(255, int(255 * (0.75 * glow + core)))
            g = min(255, int(255 * (0.85 * glow + core)))
            b = min(255, int(255 * (1.0 * glow + core)))
            rows += bytes((b, g, r))
    header = struct.pack("<2sIHHI", b"BM", 54 + len(rows), 0, 0, 54)
    info = struct.pack("<IiiHHIIiiII", 40, size, size, 1, 24, 0, len(rows), 0, 0, 0, 0)
    bmp = header + info + rows
    # Picture.Data: the class name, then TBitmap's data: the file image's
    # size and the image.
    return bytes([7]) + b"TBitmap" + struct.pack("<I", len(bmp)) + bmp


def icon():
    """A 32 x 32 icon: three glowing particles with fading trails on a dark
    blue tile, as the scene shows them."""
    size = 32
    heads = [((22, 9), (-1, 0), (255, 190, 190)), ((9, 16), (0, 1), (255, 255, 255)),
             ((20, 23), (1, 0), (255, 255, 255))]
    pixels = []
    for y in range(size):
        row = []
        for x in range(size):
            if x in (0, 31) or y in (0, 31):
                row.append((10, 10, 40, 255))
                continue
            r, g, b = 26, 26, 102
            for (hx, hy), (dx, dy), colour in heads:
                for step in range(7):
                    px, py = hx - dx * step * 2, hy - dy * step * 2
                    fade = 1.0 - step / 7.0
                    glow = max(0.0, 1.0 - math.hypot(x - px, y - py) / (3.5 if step == 0 else 1.5))
                    r += int(colour[0] * glow * fade)
                    g += int(colour[1] * glow * fade)
                    b += int(colour[2] * glow * fade)
            row.append((min(r, 255), min(g, 255), min(b, 255), 255))
        pixels.append(row)
    xor = bytearray()
    for row in reversed(pixels):
        for r, g, b, a in row:
            xor += bytes((b, g, r, a))
    mask = bytes(size * 4)
    info = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, len(xor) + len(mask), 0, 0, 0, 0)
    image = info + xor + mask
    directory = struct.pack("<HHH", 0, 1, 1)
    entry = struct.pack("<BBBBHHII", size, size, 0, 0, 1, 32, len(image), 6 + 16)
    return directory + entry + image


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    form = (FORM.replace("CAPTION", text("Velmora - " + WEB))
            .replace("MAKER", text(MAKER))
            .replace("ADDRESS", text(ADDRESS))
            .replace("WEB", text(WEB))
            .replace("PICTURE", hex_block(particle(), 6))
            .replace("ICON", hex_block(icon(), 4)))
    with open(os.path.join(here, "AboutFrm.form"), "w", encoding="utf-8") as f:
        f.write(form)


if __name__ == "__main__":
    main()
