#!/usr/bin/env python3
"""Writes AnaForm.form, the main window's stored form. Everything in it is
text except two pictures drawn here: the window's 32 x 32 icon and the mono/
stereo switch's own knob strip (the three knobs of resources/switch/
H_SWITCH.bmp at 16 bits per pixel). Run from anywhere; the output depends on
nothing but this file and H_SWITCH.bmp.

The needle meters and the light organ get their places on the form when
their components exist."""

import math
import os
import struct
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from formtext import hex_block, text  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))


def read_bmp24(path):
    data = open(path, "rb").read()
    offset = struct.unpack_from("<I", data, 10)[0]
    width, height = struct.unpack_from("<ii", data, 18)
    bits = struct.unpack_from("<H", data, 28)[0]
    assert bits == 24 and height > 0
    stride = (width * 3 + 3) & ~3
    rows = []
    for y in range(height):
        line = data[offset + (height - 1 - y) * stride:]
        rows.append([(line[3 * x + 2], line[3 * x + 1], line[3 * x]) for x in range(width)])
    return width, height, rows


def bmp16(width, height, rows):
    """A bottom-up BI_RGB bitmap with 5 bits per colour."""
    stride = (width * 2 + 3) & ~3
    data = bytearray()
    for row in reversed(rows):
        line = bytearray()
        for r, g, b in row:
            line += struct.pack("<H", ((r >> 3) << 10) | ((g >> 3) << 5) | (b >> 3))
        data += line + b"\0" * (stride - len(line))
    header = struct.pack("<2sIHHI", b"BM", 54 + len(data), 0, 0, 54)
    info = struct.pack("<IiiHHIIiiII", 40, width, height, 1, 16, 0, len(data), 0, 0, 0, 0)
    return header + info + data


def switch_glyph():
    width, height, rows = read_bmp24(os.path.join(HERE, "..", "switch", "H_SWITCH.bmp"))
    bmp = bmp16(width, height, rows)
    # TBitmap data: the file image's size, then the image.
    return struct.pack("<I", len(bmp)) + bmp


def icon():
    """A 32 x 32 icon: a red disc (the recording lamp) on a dark tape reel."""
    size = 32
    pixels = []
    for y in range(size):
        row = []
        for x in range(size):
            dx, dy = x - 15.5, y - 15.5
            d = math.hypot(dx, dy)
            if d > 15.5:
                row.append((0, 0, 0, 0))
            elif d > 13.5:
                row.append((40, 40, 48, 255))
            elif d > 8.5:
                spoke = abs(math.sin(3 * math.atan2(dy, dx))) < 0.25
                row.append((200, 200, 210, 255) if spoke else (70, 70, 80, 255))
            else:
                shade = int(190 + 60 * (1 - d / 8.5))
                row.append((min(shade, 255), 40, 50, 255))
        pixels.append(row)
    xor = bytearray()
    for row in reversed(pixels):
        for r, g, b, a in row:
            xor += bytes((b, g, r, a))
    mask_stride = 4  # 32 bits per row, already a multiple of 4 bytes
    mask = bytearray()
    for row in reversed(pixels):
        bits = 0
        for x, (_, _, _, a) in enumerate(row):
            if a == 0:
                bits |= 1 << (31 - x)
        mask += struct.pack(">I", bits)
    assert len(mask) == size * mask_stride
    info = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, len(xor) + len(mask), 0, 0, 0, 0)
    image = info + xor + mask
    directory = struct.pack("<HHH", 0, 1, 1)
    entry = struct.pack("<BBBBHHII", size, size, 0, 0, 1, 32, len(image), 6 + 16)
    return directory + entry + image


def top_lines(first):
    return "".join("""    object Bevel%d: TBevel
      Left = 7
      Top = %d
      Width = 140
      Height = 2
      Shape = bsTopLine
    end
""" % (first + i, y) for i, y in enumerate((70, 79, 87, 96)))


def meter(name, caption, channel):
    return """    object %s: TMMMeter
      Left = 1
      Top = 1
      Width = 151
      Height = 65
      Align = alTop
      Bevel.BevelInner = bvLowered
      Bevel.BevelOuter = bvNone
      Bevel.BorderWidth = 2
      Color = clNavy
      Caption = '%s'
      Font.Charset = DEFAULT_CHARSET
      Font.Color = clSilver
      Font.Height = -11
      Font.Name = 'MS Sans Serif'
      Font.Style = [fsBold]
      ParentFont = False
      Scale1Color = clLime
      NeedleOffset = 50
      ScaleAngle = 80
      TopSpace = 12
      BitLength = b16Bit
      Channel = %s
      Samples = 20
      DecayMode = dmStepUp
      Decay = 8
      PeakSpeed = 1
    end
""" % (name, caption, channel)


def meter_panel(name, left, first_bevel, tab, meter_block):
    # The needle meter is aligned to the top of its panel (151 x 65).
    return """  object %s: TMMPanel
    Left = %d
    Top = 96
    Width = 153
    Height = 105
    Bevel.BevelOuter = bvRaised
    Color = 5718462
    TabOrder = %d
%s%s  end
""" % (name, left, tab, meter_block, top_lines(first_bevel))


LIGHT = """  object MMLight2: TMMLight
    Left = 96
    Top = 208
    Width = 249
    Height = 169
    Bevel.BevelOuter = bvLowered
    BitLength = b16Bit
    SampleRate = 8000
    AmplitudeScale = 100
    GainBass = 100
    GainMiddle = 100
    GainTreble = 100
    Kind = lkSphere
    Arrange = laTriangle
    SphereHorz = 1.000000000000000000
    SphereVert = 1.000000000000000000
  end
"""


def label(name, left, top, width, height, caption, color, extra=""):
    return """  object %s: TLabel
    Left = %d
    Top = %d
    Width = %d
    Height = %d
%s    Caption = %s
    Font.Charset = TURKISH_CHARSET
    Font.Color = %s
    Font.Height = -13
    Font.Name = 'MS Sans Serif'
    Font.Style = []
    ParentFont = False
%s  end
""" % (name, left, top, width, height, "    AutoSize = False\n" if "AutoSize" in extra else "",
       text(caption), color, extra.replace("AutoSize\n", ""))


def button(name, left, width, caption, kind, tab, enabled=True):
    return """  object %s: TBitBtn
    Left = %d
    Top = 408
    Width = %d
    Height = 25
    Caption = %s
%s    Kind = %s
    TabOrder = %d
    OnClick = %sClick
  end
""" % (name, left, width, text(caption), "" if enabled else "    Enabled = False\n", kind, tab, name)


def effect_label(name, left, top, width, height, caption, font, effects, extra=""):
    """A TMMLabel: the effect settings come last, in the order the class
    declares them (a stored direction makes the style custom before a stored
    highlight colour is applied)."""
    return """  object %s: TMMLabel
    Left = %d
    Top = %d
    Width = %d
    Height = %d
%s    Caption = %s
%s    ParentFont = False
%s  end
""" % (name, left, top, width, height, extra, text(caption), font, effects)


def times(height, color="clBlack", style="[]"):
    return """    Font.Charset = DEFAULT_CHARSET
    Font.Color = %s
    Font.Height = %d
    Font.Name = 'Times New Roman'
    Font.Style = %s
""" % (color, height, style)


# The marquee: the maker's name and address scroll in from the right between
# the dots and out to the left, 157 characters in all.
MARQUEE = "." * 29 + ("Velmora Ses Sistemleri - Ornek Mah. Kayit Sok. No:7 Kadikoy/Istanbul - "
                      "0216 555 01 23 - www.velmora.example") + "." * 21
assert len(MARQUEE) == 157


def indent(block, by):
    return "".join(" " * by + line if line.strip() else line for line in block.splitlines(True))


def form():
    inner = ""
    inner += effect_label("MMLabel1", 56, 8, 321, 35, "Tonvara V.1.0", times(-27), """\
    DirectionShadow = ldNone
    ColourHighlight = 13802541
    EffectStyle = lsCustom
""", """\
    Bevel.BevelInner = bvSpace
    Bevel.BevelOuter = bvRaised
    Bevel.BorderColor = clMaroon
    Bevel.InnerLightColor = 4227327
    Alignment = taCenter
""")
    inner += label("Label2", 48, 48, 46, 16, "Dosya :", "clAqua", "    Transparent = True\n")
    inner += label("Label13", 96, 48, 305, 16, "", "clYellow", "AutoSize\n    Transparent = True\n")
    inner += effect_label("MMLabel2", 48, 66, 337, 25, "Saat başlarında otomatik yeni dosya oluşturulacaktır.",
                          times(-16), "    ColourHighlight = 12615935\n")
    inner += meter_panel("MMPanel1", 40, 1, 0, meter("Meter1", "Left", "chLeft"))
    inner += meter_panel("MMPanel3", 233, 5, 1, meter("Meter2", "Right", "chRight"))
    inner += LIGHT
    inner += effect_label("MMLabel3", 136, 379, 97, 25, "Kayıt Süresi :", times(-16), """\
    ColourHighlight = clYellow
    ColourShadow = clPurple
""")
    inner += """  object Label1: TLabel
    Left = 225
    Top = 381
    Width = 73
    Height = 19
    Caption = '00:00.000'
    Font.Charset = DEFAULT_CHARSET
    Font.Color = clBlack
    Font.Height = -16
    Font.Name = 'Arial'
    Font.Style = [fsBold]
    ParentFont = False
    Transparent = True
  end
"""
    inner += button("Button1", 72, 89, "Kayda Başla", "bkOK", 4)
    inner += button("Button3", 176, 89, "Kaydı Durdur", "bkNo", 5)
    inner += button("BitBtn1", 280, 81, "Çık", "bkIgnore", 3)
    inner += effect_label("MMLabel4", 88, 441, 289, 25, "Mono Kayıt <---        ---> Stereo Kayıt",
                          times(-16, "clMaroon", "[fsBold]"), "    ColourHighlight = 12615935\n")
    inner += """  object Sw: TMMSwitch
    Left = 200
    Top = 441
    Width = 26
    Height = 22
    Bevel.BevelInner = bvSpace
    Bevel.BevelOuter = bvRaised
    Bevel.BorderColor = clRed
    Bevel.InnerLightColor = clRed
    Kind = skHorizontal
    Glyph.Data = GLYPH
    TabOrder = 2
    OnChange = SwChange
    OnMouseDown = SwMouseDown
  end
""".replace("GLYPH", hex_block(switch_glyph(), 6))
    return """object AnaForm: TAnaForm
  Left = 485
  Top = 159
  BorderIcons = [biSystemMenu, biMinimize]
  Caption = 'Velmora  velmora.example'
  ClientHeight = 507
  ClientWidth = 450
  Color = clBtnFace
  Font.Charset = DEFAULT_CHARSET
  Font.Color = clWindowText
  Font.Height = -11
  Font.Name = 'MS Sans Serif'
  Font.Style = []
  Icon.Data = ICON
  Menu = MainMenu1
  Position = poScreenCenter
  OnActivate = FormActivate
  OnClose = FormClose
  OnCreate = FormCreate
  object RtukPanel: TMMPanelFill
    Left = 8
    Top = -1
    Width = 426
    Height = 474
    Bevel.BevelOuter = bvLowered
    Color = 5718462
    BitmapIndex = 1
INNER  end
  object MMLEDLABEL1: TMMLEDLABEL
    Left = 8
    Top = 477
    Width = 426
    Height = 21
    Bevel.BevelInner = bvLowered
    Bevel.BorderSpace = 2
    AutoSize = False
    Caption = MARQUEE
    FontSize = fs11x13
    InactiveColor = clNavy
    LEDColor = clWhite
    NumChars = 38
    ScrollSpeed = 140
    CurrentStep = 18
    AutoScroll = True
  end
  object MainMenu1: TMainMenu
    object Help1: TMenuItem
      Caption = HELP
      OnClick = Help1Click
    end
  end
  object MonoDosya: TMMWaveRecorder
    Wave.TimeFormat = tfMillisecond
    Wave.FileMustExist = False
    BufferSize = 4096
    NumBuffers = 20
    DeviceID = MapperId
    TimeFormat = tfMillisecond
    CallBackMode = cmThread
    MaxRecordTime = -1
    Mode = mMono
    BitLength = b8Bit
    SampleRate = 8000
    OverwriteExisting = True
    WaveFormatEx = {
      31000100401F0000590600004100000002004001}
  end
  object StereoDosya: TMMWaveRecorder
    Wave.TimeFormat = tfMillisecond
    Wave.FileMustExist = False
    BufferSize = 4096
    NumBuffers = 20
    DeviceID = MapperId
    TimeFormat = tfMillisecond
    CallBackMode = cmWindow
    MaxRecordTime = -1
    Mode = mStereo
    BitLength = b16Bit
    SampleRate = 48000
    OverwriteExisting = True
  end
CONNECTOR  object Timer: TMMHiTimer
    Interval = 50
    OnTimer = TimerTimer
  end
end
""".replace("ICON", hex_block(icon(), 4)).replace("INNER", indent(inner, 2)).replace(
        "HELP", text("&Hakkımızda")).replace("CONNECTOR", CONNECTOR).replace(
        "MARQUEE", text(MARQUEE))


CONNECTOR = """  object Connector: TMMConnector
    EnterIdle = False
    Input = MonoDosya
    Meter1 = Meter1
    Meter2 = Meter2
    Light1 = MMLight2
  end
"""

if __name__ == "__main__":
    with open(os.path.join(HERE, "AnaForm.form"), "w", newline="\n") as out:
        out.write(form())
