#include "X11DesktopBackend.h"

#include "X11Connection.h"

#include <utility>

// Xlib last: its macros clash with Qt headers.
#include <X11/Xlib.h>

X11DesktopBackend::X11DesktopBackend(std::shared_ptr<X11Connection> connection, Options options)
    : m_connection(std::move(connection))
    , m_layout(m_connection)
    , m_capture(m_connection, options.sharedMemory)
    , m_damage(m_connection)
    , m_cursor(m_connection)
    , m_pointer(m_connection)
    , m_clickFocus(m_connection)
    , m_keyboard(m_connection)
{}

X11DesktopBackend::~X11DesktopBackend() = default;

std::unique_ptr<X11DesktopBackend> X11DesktopBackend::open(const QString &displayName)
{
    return open(displayName, Options{});
}

std::unique_ptr<X11DesktopBackend> X11DesktopBackend::open(const QString &displayName, Options options)
{
    std::shared_ptr<X11Connection> connection = X11Connection::open(displayName);
    if (!connection)
        return nullptr;
    return std::unique_ptr<X11DesktopBackend>(new X11DesktopBackend(std::move(connection), options));
}

// The parts keep what they derived from the server until it announces a change on this
// private connection: RandR a new screen layout, MappingNotify (ours and others') a new keymap.
// So the events are read before a part relies on that; reading them also keeps Xlib's queue
// from growing over a long session.
void X11DesktopBackend::readEvents()
{
    Display *display = m_connection->display();
    while (XPending(display) > 0) {
        XEvent event;
        XNextEvent(display, &event);
        if (!m_keyboard.handle(event) && !m_damage.handle(event) && !m_cursor.handle(event))
            m_layout.handle(event);
    }
}

std::optional<DesktopCursor> X11DesktopBackend::cursor()
{
    readEvents();
    return m_cursor.cursor();
}

std::optional<ScreenImage> X11DesktopBackend::captureMainDisplay()
{
    readEvents();
    const QRect rect = m_layout.mainDisplay();
    if (rect.isEmpty())
        return std::nullopt;
    m_damage.reset();
    std::optional<ScreenImage> image = m_capture.capture(rect);
    if (!image) {
        m_layout.forget(); // most likely the layout changed under us
        m_damage.assumeChanged();
    }
    return image;
}

bool X11DesktopBackend::mainDisplayMayHaveChanged()
{
    readEvents();
    return m_damage.mayHaveChanged();
}

QRectF X11DesktopBackend::mainDisplayBounds()
{
    readEvents();
    return QRectF(m_layout.mainDisplay());
}

void X11DesktopBackend::warpPointer(QPointF point)
{
    m_pointer.warp(point);
}

void X11DesktopBackend::postMouse(MouseEvent type, QPointF point, std::int64_t clickState)
{
    m_pointer.post(type, point, clickState);
    if (type == MouseEvent::LeftDown || type == MouseEvent::RightDown)
        m_clickFocus.clicked();
}

void X11DesktopBackend::postScroll(QPointF point, std::int32_t deltaY)
{
    m_pointer.scroll(point, deltaY);
}

void X11DesktopBackend::postKey(NamedKey key, bool down)
{
    m_clickFocus.awaitFocus();
    readEvents();
    m_keyboard.postKey(key, down);
}

qsizetype X11DesktopBackend::typeText(const QString &text)
{
    m_clickFocus.awaitFocus();
    readEvents();
    return m_keyboard.typeText(text);
}

void X11DesktopBackend::holdModifiers(KeyModifiers modifiers)
{
    m_clickFocus.awaitFocus();
    readEvents();
    m_keyboard.holdModifiers(modifiers);
}

bool X11DesktopBackend::usesSharedMemory() const
{
    return m_capture.usesSharedMemory();
}
