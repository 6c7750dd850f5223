#pragma once

#include "KivrenError.h"

#include <QString>

// The viewer's status line in plain words: what happened and what to do next. Pure: every
// sentence follows from the values handed in, so each one can be checked by itself.
struct ViewerWording
{
    // Where a session was when it failed.
    enum class Step {
        reaching,  // looking the ID up or connecting: nothing was shown yet
        live,      // pictures were coming
    };

    // What to type next, from what is typed so far (as typed, spaces and dashes included) and
    // this computer's own ID (compact; empty when it has none).
    static QString idHint(const QString &typedId, const QString &typedPassword, const QString &ownId);
    // Checks run before anything goes out; empty when the typed values may be sent.
    static QString refusal(const QString &compactId, const QString &compactPassword, const QString &ownId);

    // Asked when an address-book entry is opened and no password is typed for it.
    static QString passwordFor(const QString &name);
    static QString lookingUp(const QString &formattedId);
    static QString checkingPassword();
    static QString connected(const QString &hostName);
    // Connected to a host whose person is asked first, until the host greets.
    static QString waitingForAccept();
    static QString ended();
    // A failure, as the person should read it. A session the other side ended keeps the reason
    // that side gave (the host says why: it was closed, its screen sharing was stopped).
    static QString failure(const KivrenError &error, Step step);
};
