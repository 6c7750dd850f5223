#pragma once

#include "DesktopBackend.h"

#include <QDBusConnection>

#include <cstdint>
#include <memory>
#include <optional>

class PipeWireCapture;
class QTimer;
class RemoteDesktopSession;
class SettingsStore;
class WaylandInput;

// The desktop of a Wayland session, reached through the desktop's remote-desktop service:
// GNOME's own (mutter, no dialog) where it is on the bus, else the desktop portal (the person
// at the machine agrees in the desktop's dialog). The main display arrives as a PipeWire
// screen cast; input goes back through the same session. Main thread only.
//
// Setting the session up takes a moment (and, through the portal, the person's answer), so the
// backend starts in State::Starting and reports its way to Ready through the state observer.
// Until then there are no captures, the bounds are empty and input is dropped. A session that
// breaks off is set up again by itself where that needs no dialog; through the portal, only on
// requestAccess().
class WaylandDesktopBackend final : public DesktopBackend
{
public:
    enum class Path {
        Automatic, // mutter's service when it is on the bus, else the portal
        Mutter,
        Portal,
    };

    struct Options
    {
        Path path = Path::Automatic;
        QDBusConnection bus = QDBusConnection::sessionBus();
        // Keeps the portal's restore token; may be null.
        SettingsStore *settings = nullptr;
    };

    // Whether this process runs in a Wayland session ($WAYLAND_DISPLAY or
    // $XDG_SESSION_TYPE=wayland), where X11 sees only XWayland's windows.
    static bool isWaylandSession();

    // Both start setting the session up at once.
    WaylandDesktopBackend();
    explicit WaylandDesktopBackend(Options options);
    ~WaylandDesktopBackend() override;
    WaylandDesktopBackend(const WaylandDesktopBackend &) = delete;
    WaylandDesktopBackend &operator=(const WaylandDesktopBackend &) = delete;

    // The path taken (never Automatic).
    Path path() const;
    // What went wrong, while Failed.
    QString failure() const;
    // The stream's frames, for a look at how many arrived.
    PipeWireCapture &capture();

    std::optional<ScreenImage> captureMainDisplay() override;
    // The compositor sends a frame only when the screen was redrawn: none since the last
    // capture means nothing changed.
    bool mainDisplayMayHaveChanged() override;
    QRectF mainDisplayBounds() override;

    void warpPointer(QPointF point) override;
    void postMouse(MouseEvent type, QPointF point, std::int64_t clickState) override;
    void postScroll(QPointF point, std::int32_t deltaY) override;
    void postKey(NamedKey key, bool down) override;
    qsizetype typeText(const QString &text) override;
    void holdModifiers(KeyModifiers modifiers) override;

    void requestAccess() override;
    bool asksEveryTime() const override;

private:
    void sessionChanged();
    void captureFailed(const QString &reason);
    void startSession();

    Path m_path = Path::Mutter;
    std::unique_ptr<RemoteDesktopSession> m_session;
    std::unique_ptr<PipeWireCapture> m_capture;
    std::unique_ptr<WaylandInput> m_input;
    std::unique_ptr<QTimer> m_retry;
    QString m_failure;
    // The stream's frame count at the last capture; none before the first one of a stream.
    std::optional<std::uint64_t> m_framesAtCapture;
};
