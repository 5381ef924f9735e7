#!/usr/bin/env python3
"""Writes Demo.form, the stored form the program shows until its main
window exists: nested panels, labels, a bevel, an image (a 48 x 48 24-bit
picture of a sound wave, stored in the form), bitmap buttons and a main
menu. Run from anywhere; the output depends on nothing but this file."""

import math
import os
import struct
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from formtext import hex_block  # noqa: E402

W = H = 48


def picture():
    """A dark screen with a green sine wave and a grid."""
    rows = []
    for y in range(H):
        row = []
        for x in range(W):
            r, g, b = 8, 24, 32
            if x % 12 == 0 or y % 12 == 0:
                r, g, b = 24, 56, 64
            wave = 24 + 16 * math.sin(x / 47.0 * 2 * math.pi * 1.5)
            if abs(y - wave) < 1.6:
                r, g, b = 64, 255, 96
            if x in (0, W - 1) or y in (0, H - 1):
                r, g, b = 160, 160, 160
            row.append((r, g, b))
        rows.append(row)
    stride = (W * 3 + 3) & ~3
    data = bytearray()
    for row in reversed(rows):
        line = bytearray()
        for r, g, b in row:
            line += bytes((b, g, r))
        data += line + b"\0" * (stride - len(line))
    header = struct.pack("<2sIHHI", b"BM", 54 + len(data), 0, 0, 54)
    info = struct.pack("<IiiHHIIiiII", 40, W, H, 1, 24, 0, len(data), 0, 0, 0, 0)
    bmp = header + info + data
    # TPicture data: the class name, then the bitmap's size and file image.
    return bytes([7]) + b"TBitmap" + struct.pack("<I", len(bmp)) + bmp


FORM = """object DemoForm: TForm
  Left = 200
  Top = 120
  BorderIcons = [biSystemMenu, biMinimize]
  BorderStyle = bsSingle
  Caption = 'Tonvara'
  ClientHeight = 320
  ClientWidth = 440
  Color = clBtnFace
  Font.Charset = DEFAULT_CHARSET
  Font.Color = clWindowText
  Font.Height = -11
  Font.Name = 'MS Sans Serif'
  Font.Style = []
  Menu = MainMenu1
  Position = poScreenCenter
  object Outer: TPanel
    Left = 8
    Top = 8
    Width = 424
    Height = 268
    BevelInner = bvLowered
    BorderWidth = 2
    Color = 5718462
    object Title: TLabel
      Left = 16
      Top = 12
      Width = 390
      Height = 32
      Alignment = taCenter
      AutoSize = False
      Caption = 'Tonvara V.1.0'
      Font.Charset = DEFAULT_CHARSET
      Font.Color = clYellow
      Font.Height = -27
      Font.Name = 'Times New Roman'
      Font.Style = [fsBold]
      Transparent = True
    end
    object Rule: TBevel
      Left = 16
      Top = 50
      Width = 390
      Height = 2
      Shape = bsTopLine
    end
    object Inner: TPanel
      Left = 16
      Top = 62
      Width = 392
      Height = 120
      BevelOuter = bvLowered
      Color = clNavy
      object Scope: TImage
        Left = 12
        Top = 12
        Width = 96
        Height = 96
        Picture.Data = PICTURE
        Stretch = True
      end
      object FileLabel: TLabel
        Left = 124
        Top = 20
        Width = 46
        Height = 16
        Caption = 'Dosya :'
        Font.Charset = TURKISH_CHARSET
        Font.Color = clAqua
        Font.Height = -13
        Font.Name = 'MS Sans Serif'
        Font.Style = []
        Transparent = True
      end
      object FileName: TLabel
        Left = 176
        Top = 20
        Width = 210
        Height = 16
        AutoSize = False
        Caption = 'Tarih_06_12_2026_Saat_14_05.wav'
        Font.Charset = TURKISH_CHARSET
        Font.Color = clYellow
        Font.Height = -13
        Font.Name = 'MS Sans Serif'
        Font.Style = []
        Transparent = True
      end
      object Note: TLabel
        Left = 124
        Top = 52
        Width = 252
        Height = 48
        AutoSize = False
        Caption = 'Saat ba'#351'lar'#305'nda otomatik yeni dosya olu'#351'turulacakt'#305'r.'
        Font.Charset = TURKISH_CHARSET
        Font.Color = clWhite
        Font.Height = -13
        Font.Name = 'Times New Roman'
        Font.Style = []
        Transparent = True
        WordWrap = True
      end
    end
    object Elapsed: TLabel
      Left = 16
      Top = 196
      Width = 392
      Height = 19
      Alignment = taCenter
      AutoSize = False
      Caption = '00:00.000'
      Font.Charset = DEFAULT_CHARSET
      Font.Color = clBlack
      Font.Height = -16
      Font.Name = 'Arial'
      Font.Style = [fsBold]
      Transparent = True
    end
  end
  object Buttons: TPanel
    Left = 0
    Top = 284
    Width = 440
    Height = 36
    Align = alBottom
    BevelOuter = bvNone
    object StartButton: TBitBtn
      Left = 72
      Top = 6
      Width = 89
      Height = 25
      Caption = 'Kayda Ba'#351'la'
      Kind = bkOK
      TabOrder = 0
    end
    object StopButton: TBitBtn
      Left = 176
      Top = 6
      Width = 89
      Height = 25
      Caption = 'Kayd'#305' Durdur'
      Enabled = False
      Kind = bkNo
      TabOrder = 1
    end
    object ExitButton: TBitBtn
      Left = 280
      Top = 6
      Width = 81
      Height = 25
      Caption = #199#305'k'
      Kind = bkIgnore
      TabOrder = 2
    end
  end
  object MainMenu1: TMainMenu
    object File1: TMenuItem
      Caption = '&Dosya'
      object Exit1: TMenuItem
        Caption = '&'#199#305'k'
        ShortCut = 16465
      end
    end
    object Help1: TMenuItem
      Caption = '&Hakk'#305'm'#305'zda'
    end
  end
end
"""


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    text = FORM.replace("PICTURE", hex_block(picture(), 10))
    with open(os.path.join(here, "Demo.form"), "w", encoding="utf-8") as f:
        f.write(text)


if __name__ == "__main__":
    main()
