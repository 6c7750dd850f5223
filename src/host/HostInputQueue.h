#pragma once

#include "DisplayGeometry.h"
#include "SessionProtocol.h"

#include <QList>

class DesktopBackend;

// The viewer's input messages waiting to be injected, in the order they came. Typing is slow
// on some desktops (a character missing from the keymap costs a keymap change, and clients that
// fall behind read it wrong), so text is typed in slices of at most `charactersPerPass` per pass
// of the session loop, and everything behind a text waits until the text is done: a click
// never overtakes the text before it, nor text the click that placed its caret.
//
// Bounded: a text message is typed up to SessionProtocol::maxTextCharacters, and text beyond
// `maxPendingCharacters` waiting in all, or messages beyond `maxPendingMessages`, are dropped
// as they come. Main thread.
class HostInputQueue
{
public:
    static constexpr qsizetype charactersPerPass = 32;
    static constexpr qsizetype maxPendingCharacters = 8 * SessionProtocol::maxTextCharacters;
    static constexpr qsizetype maxPendingMessages = 4096;

    // Input, key and text messages; any other is ignored.
    void append(const SessionProtocol::ViewerMessage &message);
    // Injects what waits, in order, until this pass's share of text is typed.
    void applyPass(DesktopBackend &desktop, const DisplayGeometry &geometry);

    bool isEmpty() const { return m_pending.isEmpty(); }
    void clear();

private:
    struct Pending
    {
        SessionProtocol::ViewerMessage message;
        // Text: what is still to type of it.
        QString rest;
    };

    QList<Pending> m_pending;
    qsizetype m_pendingCharacters = 0;
};
