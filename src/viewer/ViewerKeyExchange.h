#pragma once

#include "KeyExchange.h"
#include "KivrenError.h"
#include "SessionFeatures.h"
#include "SessionProtocol.h"
#include "SessionSeal.h"
#include "StoppableTask.h"

#include <QString>

#include <chrono>
#include <optional>
#include <stop_token>

class KivrenAPI;

// The viewer's side of an encrypted session's opening, right after its connect: it pushes
// "e2e-open", answers the host's share with its own and its proof, and takes the host's proof,
// all as plain json frames of the session (KeyExchange). Nothing else of the session is read
// meanwhile, and nothing sealed is taken before the host's proof checked out. A host that ends
// the session (its reason, "Wrong password" among them, comes as the 410 of a poll) ends the
// exchange with that error; a message of the host's that is refused, or no proof in time, ends
// it with the viewer's own close and `failedReason`.
class ViewerKeyExchange
{
public:
    static inline const QString failedReason = QStringLiteral("The encrypted connection could not be set up");
    // The host gives up after its own limit; the viewer waits a little longer, so that it reads
    // the host's reason rather than its own.
    static constexpr std::chrono::milliseconds timeLimit{35000};

    struct Options
    {
        KivrenAPI *api = nullptr;
        SessionProtocol::SessionKeys keys;
        KeyExchange::Party party;
        // The "waitMs" of its polls; none: answered at once, polled after `pause`.
        std::optional<qint64> waitMs;
        std::chrono::milliseconds pause{90};
    };

    struct Outcome
    {
        // Set once both proofs checked out; else `error` says why not.
        std::optional<SessionSeal> seal;
        SessionFeatures peerFeatures;
        std::optional<KivrenError> error;
        // The poll cursor the session goes on from: before the answer that held the host's proof.
        qint64 since = 0;
    };

    static StoppableTask<Outcome> run(Options options, std::stop_token stop);

private:
    static StoppableTask<Outcome> giveUp(KivrenAPI &api, SessionProtocol::SessionKeys keys, std::stop_token stop);
};
