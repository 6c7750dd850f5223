#pragma once

#include "KeyExchange.h"
#include "SessionFeatures.h"
#include "SessionProtocol.h"
#include "SessionSeal.h"
#include "StoppableTask.h"

#include <QString>

#include <chrono>
#include <optional>
#include <stop_token>

class KivrenAPI;

// The host's side of an encrypted session's opening, right after its claim: it takes the viewer's
// "e2e-open", sends its share, checks the viewer's share and proof and only then sends its own
// proof (KeyExchange), all as plain json frames. Nothing else of the session is read or sent
// meanwhile. Once the viewer's proof checked out, the host tells the switchboard (POST /v1/confirm),
// which gives back the guess the viewer's connect spent. Any failure ends the session with the
// existing close and its reason: "Wrong password" when the viewer's proof fails, `failedReason`
// for a malformed message, an invalid share, no common version, a downgrade, or no proof within
// `timeLimit` of the claim; the guess then stays counted.
class HostKeyExchange
{
public:
    static inline const QString wrongPasswordReason = QStringLiteral("Wrong password");
    static inline const QString failedReason = QStringLiteral("The encrypted connection could not be set up");
    static constexpr std::chrono::milliseconds timeLimit{30000};

    // What the host proves and names itself by.
    struct Secrets
    {
        QString hostId;
        QString hostToken;
        QString password;
    };

    struct Options
    {
        KivrenAPI *api = nullptr;
        SessionProtocol::SessionKeys keys;
        Secrets secrets;
        // The additions the hello will name, in the exchange's data so the proofs cover them.
        SessionFeatures offered;
        // Between polls: the host's polls are answered at once.
        std::chrono::milliseconds pause{90};
    };

    struct Outcome
    {
        // Set once the viewer's proof checked out and the host's went out.
        std::optional<SessionSeal> seal;
        SessionFeatures peerFeatures;
        // Why the session ended instead: the reason sent with the close, or empty when the
        // switchboard ended it (the viewer left).
        QString endReason;
    };

    static StoppableTask<Outcome> run(Options options, std::stop_token stop);

    // The reason a session ends with after this failure of the exchange.
    static QString reasonFor(KeyExchange::Failure failure);
};
