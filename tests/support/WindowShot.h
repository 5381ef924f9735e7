#pragma once
// Looking at a program's windows on the test X server as a person would:
// finding a shown top-level window by its title, and taking its pixels. For
// tests that watch another process, which sends them no events.

#include <cstddef>
#include <string>
#include <vector>

struct _XDisplay; // Xlib's Display; its header's macros stay out of here

namespace tonvara::test {

/// A window's pixels (0xRRGGBB), addressed in client coordinates: Top is the
/// rows above the client area (the menu bar's).
struct TWindowShot {
    int Width = 0;
    int Height = 0;
    int Top = 0;
    std::vector<unsigned long> Pixels;

    unsigned long At(int x, int y) const { return Pixels[static_cast<std::size_t>((y + Top) * Width + x)]; }
};

/// The mapped (viewable) top-level window titled Title (WM_NAME), or, with
/// Prefix, whose title starts with Title; the topmost of several; 0 when
/// there is none.
unsigned long ViewableTopLevel(_XDisplay* display, const std::string& title, bool prefix);

/// Window's pixels, of which the lowest ClientHeight rows are its client
/// area; an empty shot when the server gives no image.
TWindowShot ShootWindow(_XDisplay* display, unsigned long window, int clientHeight);

} // namespace tonvara::test
