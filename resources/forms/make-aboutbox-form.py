#!/usr/bin/env python3
"""Writes AboutBox.form, the stored form of the splash box: a lowered panel
filling the client area, the splash picture (../splash/Velmora.jpg, stored
in the form as a JPEG) stretched over it, an OK button that the box hides
when it shows, and the 3000 ms timer that hides the box. Run from anywhere
after the picture changes; the output depends only on this file and the
picture."""

import os
import struct
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from formtext import hex_block  # noqa: E402

FORM = """object AboutBox: TAboutBox
  Left = 252
  Top = 178
  BorderStyle = bsDialog
  Caption = 'Velmora'
  ClientHeight = 201
  ClientWidth = 302
  Color = clBtnFace
  Font.Charset = DEFAULT_CHARSET
  Font.Color = clWindowText
  Font.Height = -11
  Font.Name = 'MS Sans Serif'
  Font.Style = []
  Position = poScreenCenter
  PixelsPerInch = 96
  TextHeight = 13
  object Panel1: TPanel
    Left = 0
    Top = 0
    Width = 302
    Height = 201
    Align = alClient
    BevelInner = bvLowered
    Caption = 'Panel1'
    TabOrder = 0
    object Image1: TImage
      Left = 2
      Top = 2
      Width = 298
      Height = 197
      Align = alClient
      Picture.Data = PICTURE
      Stretch = True
    end
    object BitBtn1: TBitBtn
      Left = 240
      Top = 168
      Width = 57
      Height = 25
      TabOrder = 0
      OnClick = BitBtn1Click
      Kind = bkOK
    end
  end
  object Timer1: TTimer
    Enabled = False
    Interval = 3000
    OnTimer = Timer1Timer
  end
end
"""


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    with open(os.path.join(here, "..", "splash", "Velmora.jpg"), "rb") as f:
        jpeg = f.read()
    # Picture.Data: the graphic class's name, then the JPEG's byte count and
    # its file image.
    data = bytes([10]) + b"TJPEGImage" + struct.pack("<I", len(jpeg)) + jpeg
    with open(os.path.join(here, "AboutBox.form"), "w", encoding="utf-8") as f:
        f.write(FORM.replace("PICTURE", hex_block(data, 10)))


if __name__ == "__main__":
    main()
