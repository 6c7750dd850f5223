#pragma once

#include "DesktopBackend.h"

#include <QPointF>
#include <QString>

#include <cstdint>
#include <optional>

class RemoteDesktopSession;

// The host's pointer, wheel and key requests as input of a remote-desktop session: global
// points become positions in the main display's stream, buttons Linux button codes, wheel
// pixels wheel clicks and text keysyms. Everything is dropped while the session is not Ready.
class WaylandInput
{
public:
    explicit WaylandInput(RemoteDesktopSession &session);

    void warpPointer(QPointF point);
    void postMouse(DesktopBackend::MouseEvent type, QPointF point);
    void postScroll(QPointF point, std::int32_t deltaY);
    void postKey(SpecialKey key, bool down);
    void typeText(const QString &text);

    // The session was set up anew: where the pointer is is no longer known.
    void reset();

private:
    void moveTo(QPointF point);
    void tap(std::uint32_t keysym);

    RemoteDesktopSession &m_session;
    // Where this program last put the pointer, to leave out moves that go nowhere.
    std::optional<QPointF> m_pointer;
};
