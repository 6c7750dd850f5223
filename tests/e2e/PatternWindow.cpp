// A full-screen X11 window showing a known pattern: four coloured quadrants and a white
// centre square. Every button press is appended to the file given as the first argument as
// "press <button> <x> <y>" in root coordinates, so a test can see where a remote click landed,
// and so are the pointer entering ("enter <x> <y>") and moving over it ("motion <x> <y>"). Over
// it the pointer is a solid magenta square of cursorSide pixels with its tip at the top-left
// corner, a colour the pattern does not use, so a viewer's drawing of it can be found.
#include <X11/Xlib.h>

#include <cstdio>
#include <fstream>
#include <string>

namespace {

unsigned long rgb(Display *dpy, int screen, unsigned r, unsigned g, unsigned b)
{
    XColor c{};
    c.red = static_cast<unsigned short>(r * 257);
    c.green = static_cast<unsigned short>(g * 257);
    c.blue = static_cast<unsigned short>(b * 257);
    c.flags = DoRed | DoGreen | DoBlue;
    XAllocColor(dpy, DefaultColormap(dpy, screen), &c);
    return c.pixel;
}

void drawPattern(Display *dpy, Window w, GC gc, int screen, int width, int height)
{
    const int hw = width / 2;
    const int hh = height / 2;
    XSetForeground(dpy, gc, rgb(dpy, screen, 220, 30, 30)); // top-left red
    XFillRectangle(dpy, w, gc, 0, 0, hw, hh);
    XSetForeground(dpy, gc, rgb(dpy, screen, 30, 200, 30)); // top-right green
    XFillRectangle(dpy, w, gc, hw, 0, width - hw, hh);
    XSetForeground(dpy, gc, rgb(dpy, screen, 30, 30, 220)); // bottom-left blue
    XFillRectangle(dpy, w, gc, 0, hh, hw, height - hh);
    XSetForeground(dpy, gc, rgb(dpy, screen, 230, 200, 30)); // bottom-right yellow
    XFillRectangle(dpy, w, gc, hw, hh, width - hw, height - hh);
    XSetForeground(dpy, gc, rgb(dpy, screen, 255, 255, 255)); // centre white
    XFillRectangle(dpy, w, gc, hw - width / 16, hh - height / 16, width / 8, height / 8);
    XFlush(dpy);
}

constexpr unsigned cursorSide = 16;

Cursor magentaCursor(Display *dpy, Window w)
{
    const Pixmap bits = XCreatePixmap(dpy, w, cursorSide, cursorSide, 1);
    GC gc = XCreateGC(dpy, bits, 0, nullptr);
    XSetForeground(dpy, gc, 1);
    XFillRectangle(dpy, bits, gc, 0, 0, cursorSide, cursorSide);
    XFreeGC(dpy, gc);
    XColor magenta{};
    magenta.red = 0xffff;
    magenta.blue = 0xffff;
    magenta.flags = DoRed | DoGreen | DoBlue;
    XColor black{};
    const Cursor cursor = XCreatePixmapCursor(dpy, bits, bits, &magenta, &black, 0, 0);
    XFreePixmap(dpy, bits);
    return cursor;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s <click-log>\n", argv[0]);
        return 2;
    }
    const std::string clickLog = argv[1];
    Display *dpy = XOpenDisplay(nullptr);
    if (!dpy) {
        std::fprintf(stderr, "cannot open display\n");
        return 1;
    }
    const int screen = DefaultScreen(dpy);
    const int width = DisplayWidth(dpy, screen);
    const int height = DisplayHeight(dpy, screen);

    XSetWindowAttributes attrs{};
    attrs.override_redirect = True;
    attrs.event_mask = ButtonPressMask | ExposureMask | StructureNotifyMask | PointerMotionMask | EnterWindowMask;
    Window w = XCreateWindow(dpy, RootWindow(dpy, screen), 0, 0, width, height, 0, CopyFromParent,
                             InputOutput, CopyFromParent, CWOverrideRedirect | CWEventMask, &attrs);
    GC gc = XCreateGC(dpy, w, 0, nullptr);
    XDefineCursor(dpy, w, magentaCursor(dpy, w));
    XMapRaised(dpy, w);
    XFlush(dpy);

    for (;;) {
        XEvent ev;
        XNextEvent(dpy, &ev);
        if (ev.type == Expose && ev.xexpose.count == 0) {
            drawPattern(dpy, w, gc, screen, width, height);
            std::ofstream(clickLog, std::ios::app) << "ready " << width << " " << height << "\n";
        } else if (ev.type == ButtonPress) {
            std::ofstream(clickLog, std::ios::app)
                << "press " << ev.xbutton.button << " " << ev.xbutton.x_root << " " << ev.xbutton.y_root << "\n";
        } else if (ev.type == EnterNotify) {
            std::ofstream(clickLog, std::ios::app) << "enter " << ev.xcrossing.x_root << " " << ev.xcrossing.y_root << "\n";
        } else if (ev.type == MotionNotify) {
            std::ofstream(clickLog, std::ios::app) << "motion " << ev.xmotion.x_root << " " << ev.xmotion.y_root << "\n";
        }
    }
}
