#pragma once

#include "DesktopSharing.h"

#include <QDBusUnixFileDescriptor>
#include <QObject>
#include <QPointF>
#include <QRect>
#include <QString>

#include <cstdint>
#include <optional>

// A Wayland desktop's remote-desktop session: it hands out one PipeWire stream of the main
// display and takes pointer and keyboard input. GNOME serves one through mutter's own D-Bus
// interface, other desktops through the desktop portal; the rest of the backend sees only this.
// Main thread only.
class RemoteDesktopSession : public QObject
{
    Q_OBJECT

public:
    using State = DesktopSharing::State;

    // The screen-cast stream of the main display.
    struct Stream
    {
        std::uint32_t nodeId = 0;
        // Where the display lies in the desktop's logical coordinates (points, not pixels).
        QRect area;
        // A connection to the PipeWire daemon that serves the stream, when the session opened one
        // (the portal); invalid means the user's own daemon.
        QDBusUnixFileDescriptor remote;
    };

    explicit RemoteDesktopSession(QObject *parent = nullptr);

    // Sets up a new session, closing the current one if there is one.
    virtual void start() = 0;
    // Closes the session. The state is left as it was until the next start(); input is dropped.
    virtual void stop() = 0;

    State state() const;
    // Known while Ready.
    const std::optional<Stream> &stream() const;
    // What went wrong, while Failed (for diagnostics, not for the person at the machine).
    const QString &failure() const;
    // The desktop asks the person at the machine on every start (it cannot keep the permission).
    virtual bool asksEveryTime() const { return false; }

    // Input, dropped unless Ready. Points are in the stream's own logical coordinates.
    virtual void movePointer(QPointF point) = 0;
    // Linux input event codes (BTN_LEFT, BTN_RIGHT).
    virtual void pressButton(int button, bool pressed) = 0;
    // Wheel clicks on the vertical axis; positive scrolls down (towards the person).
    virtual void scroll(int steps) = 0;
    virtual void pressKeysym(std::uint32_t keysym, bool pressed) = 0;
    // Whether Caps Lock is locked on the desktop's keyboard, as far as the session tells (the
    // portal does not: false there).
    virtual bool capsLocked() const { return false; }

signals:
    void stateChanged(RemoteDesktopSession::State state);

protected:
    // The stream is set before the state becomes Ready and cleared when it leaves Ready.
    void setState(State state, std::optional<Stream> stream = std::nullopt);
    void fail(const QString &failure);

private:
    State m_state = State::Starting;
    std::optional<Stream> m_stream;
    QString m_failure;
};
