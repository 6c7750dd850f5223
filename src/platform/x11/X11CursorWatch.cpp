#include "X11CursorWatch.h"

#include "X11Connection.h"

#include <utility>

// Xlib last: its macros clash with Qt headers.
#include "X11ErrorTrap.h"

#include <X11/Xlib.h>
#include <X11/extensions/Xfixes.h>

X11CursorWatch::X11CursorWatch(std::shared_ptr<X11Connection> connection)
    : m_connection(std::move(connection))
{
    Display *display = m_connection->display();
    int errorBase = 0;
    if (!XFixesQueryExtension(display, &m_eventBase, &errorBase))
        return;
    // Cursor images need version 2 or later.
    int major = 0;
    int minor = 0;
    if (!XFixesQueryVersion(display, &major, &minor) || major < 2)
        return;
    X11ErrorTrap trap;
    XFixesSelectCursorInput(display, m_connection->root(), XFixesDisplayCursorNotifyMask);
    XSync(display, False);
    m_watching = !trap.failed();
}

X11CursorWatch::~X11CursorWatch()
{
    if (!m_watching)
        return;
    X11ErrorTrap trap;
    XFixesSelectCursorInput(m_connection->display(), m_connection->root(), 0);
    XSync(m_connection->display(), False);
}

bool X11CursorWatch::handle(XEvent &event)
{
    if (!m_watching || event.type != m_eventBase + XFixesCursorNotify)
        return false;
    m_shapeChanged = true;
    return true;
}

std::optional<DesktopCursor> X11CursorWatch::cursor()
{
    if (!m_watching)
        return std::nullopt;
    Display *display = m_connection->display();
    if (!m_shapeChanged) {
        // The shape is the one reported last: only where it is.
        Window rootReturn = 0;
        Window child = 0;
        int rootX = 0;
        int rootY = 0;
        int windowX = 0;
        int windowY = 0;
        unsigned int mask = 0;
        if (!XQueryPointer(display, m_connection->root(), &rootReturn, &child, &rootX, &rootY, &windowX, &windowY, &mask))
            return std::nullopt;
        return DesktopCursor{QPointF(rootX, rootY), m_shape, QImage(), QPoint()};
    }

    XFixesCursorImage *image = XFixesGetCursorImage(display);
    if (!image)
        return std::nullopt;
    DesktopCursor cursor;
    cursor.position = QPointF(image->x, image->y);
    cursor.hotspot = QPoint(image->xhot, image->yhot);
    cursor.image = QImage(image->width, image->height, QImage::Format_ARGB32_Premultiplied);
    // Xlib hands each ARGB pixel in an unsigned long, 64 bits wide on most machines.
    for (int row = 0; row < int(image->height); ++row) {
        auto *line = reinterpret_cast<QRgb *>(cursor.image.scanLine(row));
        for (int column = 0; column < int(image->width); ++column)
            line[column] = static_cast<QRgb>(image->pixels[row * image->width + column]);
    }
    // The server's serial names the shape; a server that gives none still changes the number.
    m_shape = image->cursor_serial != 0 ? image->cursor_serial : m_shape + 1;
    cursor.shape = m_shape;
    XFree(image);
    m_shapeChanged = false;
    return cursor;
}
