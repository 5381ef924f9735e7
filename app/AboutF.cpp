#include "app/AboutF.h"

#include "platform/ui/Jpeg.h"
#include "platform/x11/WinLookup.h"

#include <QGuiApplication>
#include <QSocketNotifier>
#include <QWidget>
#include <cstddef>

// Xlib declares Screen and Time, which the framework names too: its
// declarations go into a namespace of their own (their C names still link
// to the library). Last: its macros (None, Bool, Status) would break the
// headers above.
namespace x11 {
#include <X11/Xlib.h>
} // namespace x11

namespace {

const char* const kClassName = "TAboutBox";
const char* const kInstanceName = "tonvara";

bool OnX11()
{
    return QGuiApplication::platformName() == QLatin1String("xcb");
}

} // namespace

// A window manager keeps a stay-on-top window above the others (Qt asks it
// with _NET_WM_STATE_ABOVE). Where none runs, nothing does: every window
// mapped or raised later would cover the box. This watches the top-level
// windows on a connection of its own and raises the box again whenever
// another window comes above it, as a window manager would. It leaves alone
// windows that bypass management (menus, tooltips) and windows that ask to
// stay on top themselves, so that two such windows never fight.
class TTopKeeper {
public:
    explicit TTopKeeper(unsigned long window)
        : FWindow(window)
    {
        FDisplay = x11::XOpenDisplay(nullptr);
        if (!FDisplay)
            return;
        FAbove = x11::XInternAtom(FDisplay, "_NET_WM_STATE_ABOVE", False);
        FState = x11::XInternAtom(FDisplay, "_NET_WM_STATE", False);
        FAtomType = x11::XInternAtom(FDisplay, "ATOM", False);
        x11::XSelectInput(FDisplay, x11::XDefaultRootWindow(FDisplay), SubstructureNotifyMask);
        x11::XFlush(FDisplay);
        FNotifier
            = std::make_unique<QSocketNotifier>(x11::XConnectionNumber(FDisplay), QSocketNotifier::Read);
        QObject::connect(FNotifier.get(), &QSocketNotifier::activated, [this] { Pump(); });
        Keep(0);
    }

    ~TTopKeeper()
    {
        FNotifier.reset();
        if (FDisplay)
            x11::XCloseDisplay(FDisplay);
    }

    TTopKeeper(const TTopKeeper&) = delete;
    TTopKeeper& operator=(const TTopKeeper&) = delete;

private:
    void Pump()
    {
        while (x11::XPending(FDisplay) > 0) {
            x11::XEvent event;
            x11::XNextEvent(FDisplay, &event);
            if (event.type == MapNotify && !event.xmap.override_redirect)
                Keep(event.xmap.window);
            else if (event.type == ConfigureNotify && !event.xconfigure.override_redirect)
                Keep(event.xconfigure.window);
        }
    }

    // Raises the box when Other (0: any window) is above it.
    void Keep(x11::Window other)
    {
        if (other == FWindow || (other && AsksToStayAbove(other)))
            return;
        x11::Window root = 0;
        x11::Window parent = 0;
        x11::Window* children = nullptr;
        unsigned int count = 0;
        if (!x11::XQueryTree(FDisplay, FWindow, &root, &parent, &children, &count))
            return;
        if (children)
            x11::XFree(children);
        // Framed by a window manager: raising is its business.
        if (parent != root)
            return;
        if (!x11::XQueryTree(FDisplay, root, &root, &parent, &children, &count))
            return;
        bool covered = false;
        for (unsigned int i = count; i-- > 0 && children[i] != FWindow;) {
            x11::XWindowAttributes attributes;
            if (x11::XGetWindowAttributes(FDisplay, children[i], &attributes)
                && attributes.map_state == IsViewable && !attributes.override_redirect
                && !AsksToStayAbove(children[i])) {
                covered = true;
                break;
            }
        }
        if (children)
            x11::XFree(children);
        if (covered) {
            x11::XRaiseWindow(FDisplay, FWindow);
            x11::XFlush(FDisplay);
        }
    }

    bool AsksToStayAbove(x11::Window window)
    {
        x11::Atom type = 0;
        int format = 0;
        unsigned long items = 0;
        unsigned long after = 0;
        unsigned char* data = nullptr;
        if (x11::XGetWindowProperty(
                FDisplay, window, FState, 0, 64, False, FAtomType, &type, &format, &items, &after, &data)
                != Success
            || !data)
            return false;
        bool above = false;
        if (format == 32)
            for (unsigned long i = 0; i < items && !above; ++i)
                above = reinterpret_cast<const unsigned long*>(data)[i] == FAbove;
        x11::XFree(data);
        return above;
    }

    x11::Window FWindow;
    x11::Display* FDisplay = nullptr;
    x11::Atom FAbove = 0;
    x11::Atom FState = 0;
    x11::Atom FAtomType = 0;
    std::unique_ptr<QSocketNotifier> FNotifier;
};

TAboutBox::TAboutBox(TComponent* owner)
    : TForm(owner)
{
    RegisterJPEGImage();
    ReadForm(QStringLiteral("AboutBox.form"));
}

TAboutBox::~TAboutBox() = default;

void TAboutBox::ShowSplash()
{
    SetBorderStyle(bsNone);
    SetFormStyle(fsStayOnTop);
    BitBtn1->SetVisible(false);
    Panel1->SetBorderWidth(3);
    Show();
    // Painted now: the main window's creation goes on before the message
    // loop would paint it.
    Handle()->repaint();
    if (OnX11() && !FTopKeeper)
        FTopKeeper = std::make_unique<TTopKeeper>(Handle()->winId());
}

void TAboutBox::Timer1Timer(TObject*)
{
    Hide();
}

void TAboutBox::BitBtn1Click(TObject*)
{
    Close();
}

void TAboutBox::WindowCreated()
{
    TForm::WindowCreated();
    if (OnX11())
        SetWindowClassName(Handle()->winId(), kInstanceName, kClassName);
}

void TAboutBox::DoHide()
{
    FTopKeeper.reset();
    TForm::DoHide();
}
