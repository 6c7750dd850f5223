#pragma once

#include "SealedChannel.h"
#include "SessionProtocol.h"

#include <QList>
#include <QString>

#include <optional>

// An encrypted session's frames where they leave and arrive, for either side: what goes out is
// sealed with SealedChannel into the sealed kind of its frame, and what comes in is opened before
// anything reads it. Only the frames of a confirmed channel are taken; in an encrypted session the
// one plain frame still taken is the switchboard's own close to the host (it can end any session
// anyway). A replay is dropped without a word, so that a push sent again after a timeout cannot act
// twice; any other frame that fails to open ends the session, and nothing after it is read.
class SessionSeal
{
public:
    // Why an encrypted session ended, as either side shows it and a host tells its viewer.
    static inline const QString failedCheckReason = QStringLiteral("A message of the session failed its check");

    explicit SessionSeal(SealedChannel channel);

    // The frame as it leaves: its kind the sealed one, its payload the sealed bytes in base64.
    // A frame of a kind that cannot be sealed goes out as nothing (empty kind).
    SessionProtocol::Envelope seal(const SessionProtocol::Envelope &plain);

    struct Opened
    {
        // The frames that opened, in order, as the plain frames they carried.
        QList<SessionProtocol::Frame> frames;
        // A frame failed to open: the session must end (failedCheckReason), and `frames` holds
        // only what came before it.
        bool failed = false;
        // Replays dropped.
        int replays = 0;
    };
    Opened open(const QList<SessionProtocol::Frame> &frames);

private:
    SealedChannel m_channel;
};
