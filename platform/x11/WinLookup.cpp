#include "platform/x11/WinLookup.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <algorithm>
#include <chrono>
#include <cstring>
#include <deque>
#include <functional>
#include <iterator>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace {

// How deep below a top-level window the framed application window is looked
// for. Window managers wrap a client in one to three windows; more is a
// different kind of tree.
constexpr int kMaxFrameDepth = 4;

// The most a title property is read in 32-bit units; longer titles are not
// the ones anybody looks for.
constexpr long kMaxPropertyLongs = 16384;

// _NET_ACTIVE_WINDOW's source indication for a pager or taskbar: a request
// made on the user's behalf, not a window pushing itself forward.
constexpr long kSourcePager = 2;

// WM_STATE's first value for a window the manager has withdrawn.
constexpr long kWithdrawnState = 0;

std::mutex gErrorHandlerLock;
Display* gTrappedDisplay = nullptr;
int gTrappedErrors = 0;
XErrorHandler gPreviousHandler = nullptr;

// Windows come and go while another process looks at them; a vanished window
// must fail the one request, not end the program, which Xlib's default
// handler would do. Errors of other connections go where they went before.
int TrapErrors(Display* display, XErrorEvent* event)
{
    if (display == gTrappedDisplay) {
        ++gTrappedErrors;
        return 0;
    }
    return gPreviousHandler ? gPreviousHandler(display, event) : 0;
}

// One connection to $DISPLAY for the length of one call, with X errors of
// this connection counted instead of fatal.
class XConnection {
public:
    XConnection()
        : FLock(gErrorHandlerLock)
        , FDisplay(XOpenDisplay(nullptr))
    {
        if (FDisplay) {
            gTrappedDisplay = FDisplay;
            gTrappedErrors = 0;
            gPreviousHandler = XSetErrorHandler(TrapErrors);
        }
    }

    ~XConnection()
    {
        if (FDisplay) {
            XSync(FDisplay, False);
            XSetErrorHandler(gPreviousHandler);
            gTrappedDisplay = nullptr;
            gPreviousHandler = nullptr;
            XCloseDisplay(FDisplay);
        }
    }

    XConnection(const XConnection&) = delete;
    XConnection& operator=(const XConnection&) = delete;

    Display* Get() const { return FDisplay; }

    // Waits until the server has handled every request sent so far and tells
    // whether all of them succeeded since the previous call.
    bool Succeeded()
    {
        XSync(FDisplay, False);
        const bool ok = gTrappedErrors == 0;
        gTrappedErrors = 0;
        return ok;
    }

    // The same without the round trip, for a caller whose requests since the
    // previous call all waited for their replies (Xlib has then seen their
    // errors already).
    bool RepliesSucceeded()
    {
        const bool ok = gTrappedErrors == 0;
        gTrappedErrors = 0;
        return ok;
    }

private:
    std::unique_lock<std::mutex> FLock;
    Display* FDisplay;
};

struct Atoms {
    explicit Atoms(Display* display)
        : NetWmName(XInternAtom(display, "_NET_WM_NAME", False))
        , Utf8String(XInternAtom(display, "UTF8_STRING", False))
        , WmState(XInternAtom(display, "WM_STATE", False))
    {
    }

    Atom NetWmName;
    Atom Utf8String;
    Atom WmState;
};

// The bytes of a window property of the given type and 8-bit format, if the
// window has it.
std::optional<std::string> ReadTextProperty(Display* display, Window window, Atom property, Atom type)
{
    Atom actualType = None;
    int actualFormat = 0;
    unsigned long count = 0;
    unsigned long bytesAfter = 0;
    unsigned char* data = nullptr;
    const int status = XGetWindowProperty(display, window, property, 0, kMaxPropertyLongs, False, type,
        &actualType, &actualFormat, &count, &bytesAfter, &data);
    std::optional<std::string> text;
    if (status == Success && actualType == type && actualFormat == 8) {
        text.emplace(reinterpret_cast<const char*>(data), count);
    }
    if (data) {
        XFree(data);
    }
    return text;
}

// The 32-bit items of a window property of the given type (ATOM, WINDOW,
// CARDINAL...); empty when the window lacks it.
std::vector<unsigned long> ReadLongProperty(Display* display, Window window, Atom property, Atom type)
{
    Atom actualType = None;
    int actualFormat = 0;
    unsigned long count = 0;
    unsigned long bytesAfter = 0;
    unsigned char* data = nullptr;
    const int status = XGetWindowProperty(display, window, property, 0, kMaxPropertyLongs, False, type,
        &actualType, &actualFormat, &count, &bytesAfter, &data);
    std::vector<unsigned long> items;
    if (status == Success && actualType == type && actualFormat == 32) {
        // Xlib hands format-32 items out as longs, whatever their wire size.
        const auto* values = reinterpret_cast<const unsigned long*>(data);
        items.assign(values, values + count);
    }
    if (data) {
        XFree(data);
    }
    return items;
}

bool HasProperty(Display* display, Window window, Atom property)
{
    Atom actualType = None;
    int actualFormat = 0;
    unsigned long count = 0;
    unsigned long bytesAfter = 0;
    unsigned char* data = nullptr;
    const int status = XGetWindowProperty(display, window, property, 0, 0, False, AnyPropertyType,
        &actualType, &actualFormat, &count, &bytesAfter, &data);
    if (data) {
        XFree(data);
    }
    return status == Success && actualType != None;
}

std::vector<Window> Children(Display* display, Window window)
{
    Window root = None;
    Window parent = None;
    Window* children = nullptr;
    unsigned int count = 0;
    std::vector<Window> result;
    if (XQueryTree(display, window, &root, &parent, &children, &count) && children) {
        result.assign(children, children + count);
    }
    if (children) {
        XFree(children);
    }
    return result;
}

// The application window a top-level window stands for: itself when nothing
// frames it (no window manager, or a window the manager has withdrawn and
// handed back to the root), otherwise the nearest window below it that the
// manager marked with WM_STATE, searched level by level.
Window ClientOf(Display* display, Window topLevel, const Atoms& atoms)
{
    if (HasProperty(display, topLevel, atoms.WmState)) {
        return topLevel;
    }
    std::deque<std::pair<Window, int>> pending { { topLevel, 0 } };
    while (!pending.empty()) {
        const auto [window, depth] = pending.front();
        pending.pop_front();
        if (depth >= kMaxFrameDepth) {
            continue;
        }
        for (Window child : Children(display, window)) {
            if (HasProperty(display, child, atoms.WmState)) {
                return child;
            }
            pending.emplace_back(child, depth + 1);
        }
    }
    return topLevel;
}

char FoldAscii(char c)
{
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool EqualIgnoringAsciiCase(const std::string& text, const char* wanted)
{
    const size_t length = std::strlen(wanted);
    if (text.size() != length) {
        return false;
    }
    for (size_t i = 0; i < length; ++i) {
        if (FoldAscii(text[i]) != FoldAscii(wanted[i])) {
            return false;
        }
    }
    return true;
}

std::string Latin1ToUtf8(const unsigned char* bytes, size_t count)
{
    std::string text;
    text.reserve(count * 2);
    for (size_t i = 0; i < count; ++i) {
        const unsigned char c = bytes[i];
        if (c < 0x80) {
            text += static_cast<char>(c);
        } else {
            text += static_cast<char>(0xC0 | (c >> 6));
            text += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return text;
}

// WM_NAME in UTF-8, whatever encoding the window stored it in: STRING is
// Latin-1 by definition, UTF8_STRING is already right, and COMPOUND_TEXT goes
// through Xlib's converter; what cannot be converted is taken as it stands.
std::string LegacyTitle(Display* display, Window window, const Atoms& atoms)
{
    XTextProperty property {};
    if (!XGetWMName(display, window, &property) || !property.value) {
        return {};
    }
    std::string text;
    const size_t count = property.nitems;
    if (property.encoding == XA_STRING) {
        text = Latin1ToUtf8(property.value, count);
    } else if (property.encoding == atoms.Utf8String) {
        text.assign(reinterpret_cast<const char*>(property.value), count);
    } else {
        char** list = nullptr;
        int listCount = 0;
        if (Xutf8TextPropertyToTextList(display, &property, &list, &listCount) >= Success && list
            && listCount > 0) {
            text = list[0];
        } else {
            text.assign(reinterpret_cast<const char*>(property.value), count);
        }
        if (list) {
            XFreeStringList(list);
        }
    }
    XFree(property.value);
    return text;
}

std::string Title(Display* display, Window window, const Atoms& atoms)
{
    if (auto title = ReadTextProperty(display, window, atoms.NetWmName, atoms.Utf8String)) {
        return *title;
    }
    return LegacyTitle(display, window, atoms);
}

bool ClassMatches(Display* display, Window window, const char* className)
{
    if (!className) {
        return true;
    }
    XClassHint hint {};
    if (!XGetClassHint(display, window, &hint)) {
        return false;
    }
    const bool matches = hint.res_class && EqualIgnoringAsciiCase(hint.res_class, className);
    if (hint.res_name) {
        XFree(hint.res_name);
    }
    if (hint.res_class) {
        XFree(hint.res_class);
    }
    return matches;
}

// A window manager is running when the root names a check window that names
// itself (EWMH); a check window left behind by a manager that died no longer
// exists and does not count.
bool WindowManagerSupports(Display* display, Window root, Atom request)
{
    const Atom check = XInternAtom(display, "_NET_SUPPORTING_WM_CHECK", False);
    const auto rootCheck = ReadLongProperty(display, root, check, XA_WINDOW);
    if (rootCheck.size() != 1 || rootCheck[0] == None) {
        return false;
    }
    const auto selfCheck = ReadLongProperty(display, rootCheck[0], check, XA_WINDOW);
    if (selfCheck.size() != 1 || selfCheck[0] != rootCheck[0]) {
        return false;
    }
    const auto supported
        = ReadLongProperty(display, root, XInternAtom(display, "_NET_SUPPORTED", False), XA_ATOM);
    for (unsigned long atom : supported) {
        if (atom == request) {
            return true;
        }
    }
    return false;
}

// The child of the root that holds the window: the window itself when
// nothing frames it, its frame otherwise.
Window TopLevelOf(Display* display, Window window)
{
    for (;;) {
        Window root = None;
        Window parent = None;
        Window* children = nullptr;
        unsigned int count = 0;
        if (!XQueryTree(display, window, &root, &parent, &children, &count)) {
            return window;
        }
        if (children) {
            XFree(children);
        }
        if (parent == root || parent == None) {
            return window;
        }
        window = parent;
    }
}

bool IsIconic(Display* display, Window window, const Atoms& atoms)
{
    const auto state = ReadLongProperty(display, window, atoms.WmState, atoms.WmState);
    return !state.empty() && state[0] != kWithdrawnState;
}

} // namespace

HWND FindWindowA(LPCSTR className, LPCSTR windowName)
{
    XConnection x;
    Display* display = x.Get();
    if (!display) {
        return nullptr;
    }
    const Atoms atoms(display);
    for (int screen = 0; screen < ScreenCount(display); ++screen) {
        const std::vector<Window> topLevels = Children(display, RootWindow(display, screen));
        // XQueryTree lists the bottom window first; Windows answers with the
        // top-most match.
        for (auto it = topLevels.rbegin(); it != topLevels.rend(); ++it) {
            x.RepliesSucceeded();
            const Window client = ClientOf(display, *it, atoms);
            if (!ClassMatches(display, client, className)) {
                continue;
            }
            if (windowName && !EqualIgnoringAsciiCase(Title(display, client, atoms), windowName)) {
                continue;
            }
            // A window destroyed while it was being read has answered with
            // errors and empty values; it is not there any more.
            if (!x.RepliesSucceeded()) {
                continue;
            }
            return HwndFromWindowId(client);
        }
    }
    return nullptr;
}

HWND FindShownSibling(HWND hWnd)
{
    const Window window = WindowIdFromHwnd(hWnd);
    if (window == None) {
        return nullptr;
    }
    XConnection x;
    Display* display = x.Get();
    if (!display) {
        return nullptr;
    }
    const Atoms atoms(display);
    const Atom leaderAtom = XInternAtom(display, "WM_CLIENT_LEADER", False);
    const Atom pidAtom = XInternAtom(display, "_NET_WM_PID", False);
    // Which program a window belongs to: its leader, else its process on
    // its machine. Empty when the window says neither.
    auto owner = [&](Window w) {
        std::vector<unsigned long> key = ReadLongProperty(display, w, leaderAtom, XA_WINDOW);
        if (key.empty()) {
            key = ReadLongProperty(display, w, pidAtom, XA_CARDINAL);
            if (!key.empty()) {
                const std::string machine
                    = ReadTextProperty(display, w, XA_WM_CLIENT_MACHINE, XA_STRING).value_or(std::string());
                key.push_back(std::hash<std::string> {}(machine));
            }
        }
        return key;
    };
    const std::vector<unsigned long> wanted = owner(window);
    if (wanted.empty() || !x.Succeeded()) {
        return nullptr;
    }
    for (int screen = 0; screen < ScreenCount(display); ++screen) {
        const std::vector<Window> topLevels = Children(display, RootWindow(display, screen));
        for (auto it = topLevels.rbegin(); it != topLevels.rend(); ++it) {
            x.RepliesSucceeded();
            const Window client = ClientOf(display, *it, atoms);
            if (client == window) {
                continue;
            }
            // Shown means on the screen or minimised, not withdrawn.
            XWindowAttributes attributes {};
            if (!XGetWindowAttributes(display, *it, &attributes)
                || (attributes.map_state != IsViewable && !IsIconic(display, client, atoms))) {
                continue;
            }
            if (owner(client) == wanted && x.RepliesSucceeded()) {
                return HwndFromWindowId(client);
            }
        }
    }
    return nullptr;
}

BOOL SetForegroundWindow(HWND hWnd)
{
    const Window window = WindowIdFromHwnd(hWnd);
    if (window == None) {
        return FALSE;
    }
    XConnection x;
    Display* display = x.Get();
    if (!display) {
        return FALSE;
    }
    XWindowAttributes attributes {};
    if (!XGetWindowAttributes(display, window, &attributes) || !x.Succeeded()) {
        return FALSE;
    }
    const Atoms atoms(display);
    const bool shown = attributes.map_state == IsViewable || IsIconic(display, window, atoms);
    const Atom activeWindow = XInternAtom(display, "_NET_ACTIVE_WINDOW", False);
    const bool managed = WindowManagerSupports(display, attributes.root, activeWindow);
    x.Succeeded();
    if (managed) {
        if (!shown) {
            return FALSE;
        }
        XEvent event {};
        event.xclient.type = ClientMessage;
        event.xclient.window = window;
        event.xclient.message_type = activeWindow;
        event.xclient.format = 32;
        event.xclient.data.l[0] = kSourcePager;
        event.xclient.data.l[1] = CurrentTime;
        event.xclient.data.l[2] = None;
        XSendEvent(
            display, attributes.root, False, SubstructureRedirectMask | SubstructureNotifyMask, &event);
        return x.Succeeded() ? TRUE : FALSE;
    }
    XRaiseWindow(display, TopLevelOf(display, window));
    if (attributes.map_state != IsViewable) {
        x.Succeeded();
        return FALSE;
    }
    XSetInputFocus(display, window, RevertToParent, CurrentTime);
    return x.Succeeded() ? TRUE : FALSE;
}

bool SetWindowClassName(unsigned long windowId, const char* resName, const char* resClass)
{
    if (windowId == None || !resClass) {
        return false;
    }
    XConnection x;
    Display* display = x.Get();
    if (!display) {
        return false;
    }
    XClassHint hint {};
    hint.res_name = const_cast<char*>(resName ? resName : resClass);
    hint.res_class = const_cast<char*>(resClass);
    XSetClassHint(display, windowId, &hint);
    return x.Succeeded();
}

bool WaitForKeyboardRelease(int timeoutMs)
{
    XConnection x;
    Display* display = x.Get();
    if (!display) {
        return false;
    }
    // The server tells no one when another client's key goes up, so the
    // key map is asked again every few milliseconds.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        char keys[32] = {};
        XQueryKeymap(display, keys);
        if (std::all_of(std::begin(keys), std::end(keys), [](char byte) { return byte == 0; })) {
            return true;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}
