#include "X11Connection.h"

#include <QByteArray>

// Xlib last: its macros clash with Qt headers.
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>

std::shared_ptr<X11Connection> X11Connection::open(const QString &displayName)
{
    const QByteArray name = displayName.toLocal8Bit();
    Display *display = XOpenDisplay(name.isEmpty() ? nullptr : name.constData());
    if (!display)
        return nullptr;
    return std::shared_ptr<X11Connection>(new X11Connection(display));
}

X11Connection::X11Connection(Display *display)
    : m_display(display)
    , m_screen(DefaultScreen(display))
    , m_root(RootWindow(display, m_screen))
{
    int eventBase = 0;
    int errorBase = 0;
    int major = 0;
    int minor = 0;
    m_xtest = XTestQueryExtension(display, &eventBase, &errorBase, &major, &minor);
}

X11Connection::~X11Connection()
{
    XCloseDisplay(m_display);
}
