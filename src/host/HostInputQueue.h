#pragma once

#include "DisplayGeometry.h"
#include "HeldInput.h"
#include "KeyModifiers.h"
#include "SessionProtocol.h"

#include <QList>

class DesktopBackend;

// The viewer's input messages waiting to be injected, in the order they came. Typing is slow
// on some desktops (a character missing from the keymap costs a keymap change, and clients that
// fall behind read it wrong), so every character typed, whether a text message's, a key
// message's or a shortcut's (typed with its modifiers held), shares one budget of
// `charactersPerPass` per pass of the session loop, and everything behind a text waits until
// the text is done: a click never overtakes the text before it, nor text the click that placed
// its caret. A message longer than SessionProtocol::maxTextCharacters (a viewer that does not
// split its text) is typed whole, in the same slices.
//
// Bounded: characters beyond `maxPendingCharacters` waiting in all, or messages beyond
// `maxPendingMessages`, are dropped as they come, a message that does not fit whole in what is
// left dropped whole (never typed in part). What the session's input pressed and has not
// released is kept (HeldInput) for releaseHeld(). Main thread.
class HostInputQueue
{
public:
    static constexpr qsizetype charactersPerPass = 32;
    static constexpr qsizetype maxPendingCharacters = 8 * SessionProtocol::maxTextCharacters;
    static constexpr qsizetype maxPendingMessages = 4096;

    // Input, key and text messages; any other is ignored.
    void append(const SessionProtocol::ViewerMessage &message);
    // Injects what waits, in order, until this pass's share of characters is typed.
    void applyPass(DesktopBackend &desktop, const DisplayGeometry &geometry);

    bool isEmpty() const { return m_pending.isEmpty(); }
    // Drops what waits; what was pressed stays noted.
    void clear();
    // Releases the buttons and keys the applied input left pressed, and every modifier.
    void releaseHeld(DesktopBackend &desktop);

private:
    struct Pending
    {
        // Text (what is left of it in `rest`, typed with `modifiers` held), a pointer event or
        // a special key.
        SessionProtocol::ViewerMessage message;
        QString rest;
        KeyModifiers modifiers;
    };

    QList<Pending> m_pending;
    qsizetype m_pendingCharacters = 0;
    HeldInput m_held;
};
