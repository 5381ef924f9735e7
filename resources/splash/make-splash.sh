#!/bin/sh
# Draws the splash box picture, Velmora.jpg (551 x 382): a dark backdrop, the
# name, a needle meter and a waveform being recorded up to a "now" cursor.
# Everything is computed here, so running it again gives the same picture.
set -eu
cd "$(dirname "$0")"
fonts=/usr/share/fonts/truetype
bold=$fonts/liberation/LiberationSans-Bold.ttf
regular=$fonts/liberation/LiberationSans-Regular.ttf

# The meter: an arc from 200 to 340 degrees (0 is three o'clock, angles grow
# clockwise), ticks every 10 degrees, the last 30 in red, the needle at 302.
meter=$(awk 'BEGIN {
  cx = 428; cy = 176; r = 92; pi = atan2(0, -1)
  printf "stroke-width 2 fill none stroke #5f7fa6 arc %d,%d %d,%d 200,310 ", cx-r, cy-r, cx+r, cy+r
  printf "stroke #e0493a arc %d,%d %d,%d 310,340 ", cx-r, cy-r, cx+r, cy+r
  for (a = 200; a <= 340; a += 10) {
    t = a * pi / 180; inner = (a % 20 == 0) ? r - 14 : r - 8
    printf "stroke %s stroke-width %d line %.1f,%.1f %.1f,%.1f ", (a > 310 ? "#e0493a" : "#9fb6d3"),
      (a % 20 == 0 ? 2 : 1), cx + inner*cos(t), cy + inner*sin(t), cx + r*cos(t), cy + r*sin(t)
  }
  t = 302 * pi / 180
  printf "stroke #ffb23e stroke-width 3 line %d,%d %.1f,%.1f ", cx, cy, cx + (r-4)*cos(t), cy + (r-4)*sin(t)
  printf "stroke none fill #ffb23e circle %d,%d %d,%d", cx, cy, cx + 7, cy
}')

# The waveform: bars 3 pixels wide every 5, the height a few slow sines
# shaped into words and pauses, up to the cursor at x = 402.
wave=$(awk 'BEGIN {
  y0 = 296; now = 402
  printf "stroke #24405e stroke-width 1 line 30,%d 521,%d stroke none ", y0, y0
  for (i = 0; 32 + 5*i < now; i++) {
    x = 32 + 5*i
    env = 0.25 + 0.75 * (sin(i*0.11) * sin(i*0.11))
    h = 6 + 46 * env * (0.55 + 0.45 * sin(i*0.9) * sin(i*0.37 + 1.3)) * (0.7 + 0.3 * ((i*37) % 11) / 11)
    g = int(200 - 80 * i / 75); b = int(190 + 40 * i / 75)
    printf "fill rgb(42,%d,%d) rectangle %d,%d %d,%d ", g, b, x, y0 - h, x + 2, y0 + h
  }
  printf "fill #e0493a rectangle %d,238 %d,354 circle %d,236 %d,236", now, now + 1, now, now + 4
}')

convert -size 551x382 gradient:'#16263f-#03060b' \
  \( -size 760x560 radial-gradient:'#1a3a5a-#000000' -crop 551x382+0+90 +repage \) -compose screen -composite \
  -fill '#0b1522' -stroke '#2b4263' -strokewidth 1 -draw 'roundrectangle 318,60 537,204 10,10' \
  -draw "$meter" \
  -stroke none -fill '#9fb6d3' -font "$regular" -pointsize 14 -annotate +412+200 'VU' \
  -fill '#eef4ff' -font "$bold" -pointsize 64 -annotate +34+118 'Velmora' \
  -fill '#ffb23e' -draw 'rectangle 38,134 150,137' \
  -fill '#8fa6c4' -font "$regular" -pointsize 17 -annotate +38+164 'saat saat ses arşivi' \
  -fill '#e0493a' -draw 'circle 44,196 51,196' \
  -fill '#d9e3f0' -font "$bold" -pointsize 16 -annotate +58+202 'KAYIT' \
  -draw "$wave" \
  -fill '#6d83a3' -font "$regular" -pointsize 15 -annotate +34+372 'Tonvara' \
  -strip -interlace none -sampling-factor 4:2:0 -quality 86 Velmora.jpg
