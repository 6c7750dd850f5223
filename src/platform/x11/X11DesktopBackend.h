#pragma once

#include "DesktopBackend.h"
#include "X11Capture.h"
#include "X11CursorWatch.h"
#include "X11ClickFocus.h"
#include "X11DamageWatch.h"
#include "X11DisplayLayout.h"
#include "X11Keyboard.h"
#include "X11Pointer.h"

#include <QString>

#include <memory>

class X11Connection;

// The desktop of an X server, on a private connection shared by its parts: the layout of the
// screen (which rectangle is the main display), capture and what was drawn since, the pointer,
// the keyboard, and the wait for a clicked window to take the keyboard focus. Input is injected
// with XTest. Main thread only.
class X11DesktopBackend final : public DesktopBackend
{
public:
    struct Options
    {
        // Off forces the GetImage path (also taken by itself when the server refuses MIT-SHM).
        bool sharedMemory = true;
    };

    // Null when the display cannot be opened. An empty name means $DISPLAY.
    static std::unique_ptr<X11DesktopBackend> open(const QString &displayName = {});
    static std::unique_ptr<X11DesktopBackend> open(const QString &displayName, Options options);

    ~X11DesktopBackend() override;
    X11DesktopBackend(const X11DesktopBackend &) = delete;
    X11DesktopBackend &operator=(const X11DesktopBackend &) = delete;

    std::optional<ScreenImage> captureMainDisplay() override;
    // From the server's damage reports; true whenever the server cannot report damage.
    bool mainDisplayMayHaveChanged() override;
    QRectF mainDisplayBounds() override;
    // From XFIXES: the image read again only after the server reported a new shape.
    std::optional<DesktopCursor> cursor() override;

    void warpPointer(QPointF point) override;
    void postMouse(MouseEvent type, QPointF point, std::int64_t clickState) override;
    void postScroll(QPointF point, std::int32_t deltaY) override;
    void postKey(NamedKey key, bool down) override;
    qsizetype typeText(const QString &text) override;
    void holdModifiers(KeyModifiers modifiers) override;

    // X has no permission step for synthetic input: always trusted, nothing to prompt.

    // False once captures have fallen back to GetImage.
    bool usesSharedMemory() const;

private:
    X11DesktopBackend(std::shared_ptr<X11Connection> connection, Options options);

    void readEvents();

    // Destroyed in reverse order, all before the connection they share: the keyboard gives its
    // borrowed keycodes back and the capture detaches its segment while it is still open.
    std::shared_ptr<X11Connection> m_connection;
    X11DisplayLayout m_layout;
    X11Capture m_capture;
    X11DamageWatch m_damage;
    X11CursorWatch m_cursor;
    X11Pointer m_pointer;
    X11ClickFocus m_clickFocus;
    X11Keyboard m_keyboard;
};
