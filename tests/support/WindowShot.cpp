#include "WindowShot.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace tonvara::test {

unsigned long ViewableTopLevel(Display* display, const std::string& title, bool prefix)
{
    Window root = 0;
    Window parent = 0;
    Window* children = nullptr;
    unsigned int count = 0;
    Window found = 0;
    if (!XQueryTree(display, DefaultRootWindow(display), &root, &parent, &children, &count))
        return 0;
    for (unsigned int i = 0; i < count; ++i) {
        char* name = nullptr;
        XWindowAttributes attributes {};
        if (XFetchName(display, children[i], &name) && name) {
            const std::string text(name);
            if ((prefix ? text.rfind(title, 0) == 0 : text == title)
                && XGetWindowAttributes(display, children[i], &attributes)
                && attributes.map_state == IsViewable)
                found = children[i];
            XFree(name);
        }
    }
    if (children)
        XFree(children);
    return found;
}

TWindowShot ShootWindow(Display* display, unsigned long window, int clientHeight)
{
    TWindowShot shot;
    XWindowAttributes attributes {};
    XGetWindowAttributes(display, window, &attributes);
    XImage* image = XGetImage(display, window, 0, 0, attributes.width, attributes.height, AllPlanes, ZPixmap);
    if (!image)
        return shot;
    shot.Width = attributes.width;
    shot.Height = attributes.height;
    shot.Top = attributes.height - clientHeight;
    shot.Pixels.resize(static_cast<std::size_t>(shot.Width) * shot.Height);
    for (int y = 0; y < shot.Height; ++y)
        for (int x = 0; x < shot.Width; ++x)
            shot.Pixels[static_cast<std::size_t>(y * shot.Width + x)] = XGetPixel(image, x, y) & 0xFFFFFF;
    XDestroyImage(image);
    return shot;
}

} // namespace tonvara::test
