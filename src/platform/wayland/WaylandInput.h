#pragma once

#include "DesktopInput.h"
#include "DesktopSharing.h"
#include "KeyModifiers.h"
#include "MultipleClicks.h"
#include "WheelClicks.h"

#include <QPointF>
#include <QString>

#include <cstdint>
#include <optional>

class RemoteDesktopSession;

// The host's pointer, wheel and key requests as input of a remote-desktop session: global
// points become positions in the main display's stream, buttons Linux button codes, wheel
// pixels wheel clicks and text keysyms. Everything is dropped while the session is not Ready.
//
// The compositor handles the session's events in the order they are sent, a click's change of
// keyboard focus before the keys behind it, so nothing here waits for the focus.
class WaylandInput
{
public:
    explicit WaylandInput(RemoteDesktopSession &session);
    // Lets go of the modifiers it holds.
    ~WaylandInput();
    WaylandInput(const WaylandInput &) = delete;
    WaylandInput &operator=(const WaylandInput &) = delete;

    void warpPointer(QPointF point);
    void postMouse(DesktopInput::MouseEvent type, QPointF point, std::int64_t clickState);
    void postScroll(QPointF point, std::int32_t deltaY);
    void postKey(NamedKey key, bool down);
    // Types all of `text` at once (the compositor finds each keysym's key itself, nothing has to
    // wait); returns its length.
    qsizetype typeText(const QString &text);
    void holdModifiers(KeyModifiers modifiers);

    // The session was set up anew: where the pointer is is no longer known, and the keys the
    // old session held went with it.
    void reset();

private:
    void moveTo(QPointF point);
    // On the press of a multiple click while near it (MultipleClicks::heldAt), else `point`.
    QPointF heldAt(QPointF point) const;
    void tap(std::uint32_t keysym);

    RemoteDesktopSession &m_session;
    // Where this program last put the pointer, to leave out moves that go nowhere.
    std::optional<QPointF> m_pointer;
    MultipleClicks m_clicks;
    WheelClicks m_wheel;
    KeyModifiers m_heldModifiers;
};
