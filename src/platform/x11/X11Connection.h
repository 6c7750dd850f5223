#pragma once

#include <QString>

#include <memory>

// Xlib's own forward declaration of Display: this header stays free of Xlib, whose macros
// (None, Bool, Status, KeyPress, ...) clash with Qt and GoogleTest.
struct _XDisplay;

// One private connection to an X server, shared by the parts of the X11 backend and by captured
// images that outlive it; closed with its last holder. Main thread only.
class X11Connection
{
public:
    // Null when the display cannot be opened. An empty name means $DISPLAY.
    static std::shared_ptr<X11Connection> open(const QString &displayName);

    ~X11Connection();
    X11Connection(const X11Connection &) = delete;
    X11Connection &operator=(const X11Connection &) = delete;

    _XDisplay *display() const { return m_display; }
    int screen() const { return m_screen; }
    unsigned long root() const { return m_root; }
    // Synthetic input needs XTest; without it the pointer and the keyboard do nothing.
    bool hasXTest() const { return m_xtest; }

private:
    explicit X11Connection(_XDisplay *display);

    _XDisplay *m_display;
    int m_screen;
    unsigned long m_root;
    bool m_xtest;
};
