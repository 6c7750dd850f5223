#pragma once

#include "KivrenAPI.h"
#include "KivrenAnswer.h"
#include "SessionProtocol.h"
#include "Transport.h"

#include <QByteArray>
#include <QJsonObject>
#include <QJsonValue>
#include <QString>

#include <QCoroTask>

#include <optional>
#include <stop_token>

// The requests this program sends to a switchboard (a JSON object POSTed to /v1/<path>) and the
// answers it reads, as types: every path, body member and answer member is spelled here once.
// The session messages a push carries and a poll answer's frames are SessionProtocol's.
//
// Bodies go through Qt's writer, which puts the members in name order; a push body is written
// members first (see Push). Answers are read leniently: a member missing or of another type
// takes its default.
namespace SwitchboardRequests {

using SessionProtocol::Role;
using SessionProtocol::SessionKeys;

// --- This computer's host and its own switchboard ---

// Challenges the listener: only the switchboard holding this launch's key answers right.
struct Prove
{
    QByteArray nonce; // 64 lowercase hex digits
};
struct ProveAnswer
{
    std::optional<QString> proof;
    static ProveAnswer fromJson(const QJsonObject &answer);
};

// The addition of encrypted sessions, as a host names it in "register" and a viewer in "connect"
// ("features"), and as a lookup answer names what a host offers. A host that takes encrypted
// viewers alone names "e2e-only" besides, and sends no password.
inline const QString featureE2e = QStringLiteral("e2e");
inline const QString featureE2eOnly = QStringLiteral("e2e-only");

// Makes this host known under its ID, with its password.
struct Register
{
    QString id;
    QString name;
    QString platform;
    QString password;
    QString hostToken;
    bool unattended = true;
    // Offers encrypted sessions ("features":["e2e"]); with `encryptedOnly` as well, the password
    // is left out ("features":["e2e","e2e-only"]). Neither: the body is today's.
    bool encrypted = false;
    bool encryptedOnly = false;
};

// Keeps the registration alive; the answer may name the public origin and a viewer waiting.
struct Heartbeat
{
    QString id;
    QString hostToken;
};
// A viewer waiting for this host: the session it opened, and its name when it gave one; the
// platform it named and its address as the switchboard saw it, when it says them.
struct PendingSession
{
    SessionKeys keys;
    std::optional<QString> clientName;
    std::optional<QString> clientPlatform;
    std::optional<QString> clientAddress;
    // Its viewer connected without the password ("e2e": true): the exchange comes first.
    bool encrypted = false;

    friend bool operator==(const PendingSession &, const PendingSession &) = default;
};
struct HeartbeatAnswer
{
    std::optional<QString> origin;
    // Only an entry naming both the session and its token as text.
    std::optional<PendingSession> pending;
    static HeartbeatAnswer fromJson(const QJsonObject &answer);
};

// Tells the switchboard the public origin its tunnel publishes it under.
struct Origin
{
    QString origin;
    QString id;
    QString hostToken;
};

// Reads the lockout of this host's ID (loopback only, with the host's proof); `lift` ends it,
// `collect` asks for the connects refused since the last collect (each handed over once).
struct Lockout
{
    QString id;
    QString hostToken;
    bool lift = false;
    bool collect = false;
};
// A connect the switchboard refused: a wrong password, or while the lockout held.
struct FailedAttempt
{
    qint64 atMs = 0; // milliseconds since the epoch, the switchboard's clock
    QString outcome; // "wrong-password" or "locked-out"
    std::optional<QString> clientName;
    std::optional<QString> clientPlatform;
    std::optional<QString> clientAddress;

    friend bool operator==(const FailedAttempt &, const FailedAttempt &) = default;
};
struct LockoutAnswer
{
    bool locked = false;
    qint64 waitMs = 0;
    qint64 wrongGuesses = 0;
    // Only entries with a time and an outcome as text.
    QList<FailedAttempt> attempts;
    static LockoutAnswer fromJson(const QJsonObject &answer);
};

// --- A viewer reaching a host ---

struct Lookup
{
    QString id;
};
struct LookupAnswer
{
    bool found = false;
    bool online = false;
    std::optional<QString> name;
    // The host offers encrypted sessions: its "features" name "e2e".
    bool encrypted = false;
    static LookupAnswer fromJson(const QJsonObject &answer);
};

struct Connect
{
    QString id;
    QString password;
    QString clientName;
    QString clientPlatform;
    // What the switchboard handed out at the last connect to this ID; empty: none, and the
    // member is left out.
    QString deviceToken;
    // Opens an encrypted session: "features":["e2e"], and no password is sent.
    bool encrypted = false;
};
struct ConnectAnswer
{
    SessionKeys keys;
    // None when the answer names none, or one this program does not know.
    std::optional<Transport> transport;
    QString deviceToken;
    // The longest the switchboard holds a poll ("maxWaitMs"): none when it names no whole
    // number of milliseconds above 0, and then it answers every poll at once.
    std::optional<qint64> maxWaitMs;
    // False when the person at the host is asked before the session starts ("unattended":false);
    // a switchboard that says nothing lets the viewer in with the password.
    bool unattended = true;
    static ConnectAnswer fromJson(const QJsonObject &answer);
};

// --- One session ---

// The host takes the session a heartbeat offered. The one request that names the session's token
// "sessionToken" rather than "token".
struct Claim
{
    SessionKeys keys;
};
// The claim's answer: the longest hold the switchboard allows, as in ConnectAnswer.
struct ClaimAnswer
{
    std::optional<qint64> maxWaitMs;
    static ClaimAnswer fromJson(const QJsonObject &answer);
};

// One frame, from either side.
struct Push
{
    SessionKeys keys;
    Role sender = Role::host;
    SessionProtocol::Envelope frame;
    // How long the switchboard may hold the push until the other side's poll takes the frame
    // ("waitMs", a paced push), only to one that announced holds; none: answered at once.
    std::optional<qint64> waitMs;
};
// Whether a push's answer says its frame was taken: false only for a paced push's
// {"ok":true,"taken":false}; an answer without "taken" (a push that was not held) says nothing.
bool pushTaken(const QJsonObject &answer);

// The frames waiting for one side, from the cursor `since` on (the host's is always 0).
struct Poll
{
    SessionKeys keys;
    Role receiver = Role::viewer;
    qint64 since = 0;
    // How long the switchboard may hold the poll ("waitMs"), only to one that announced holds;
    // none: the member is left out and the poll is answered at once.
    std::optional<qint64> waitMs;
};
// The cursor a poll answer's "since" leads to: a number truncated toward zero; none (keep the
// cursor) for anything else, a non-finite number or one outside the signed 64-bit range.
std::optional<qint64> cursorFrom(const QJsonValue &since);
std::optional<qint64> pollCursor(const QJsonObject &answer);
// How long the other side has been quiet ("peerQuietMs", whole milliseconds), as an answer to
// a poll that named "waitMs" says; none when it says nothing of it.
std::optional<qint64> peerQuietMs(const QJsonObject &answer);

// The host's word that an encrypted session's viewer proved it knows the password: the guess its
// connect spent is given back.
struct Confirm
{
    QString id;
    QString hostToken;
    QString sessionId;
};

// Ends a session, from either side; a host that ends it says why (empty: nothing said).
struct Close
{
    SessionKeys keys;
    QString reason;
};

// --- Bodies ---

QJsonObject toJson(const Prove &request);
QJsonObject toJson(const Register &request);
QJsonObject toJson(const Heartbeat &request);
QJsonObject toJson(const Origin &request);
QJsonObject toJson(const Lockout &request);
QJsonObject toJson(const Lookup &request);
QJsonObject toJson(const Connect &request);
QJsonObject toJson(const Claim &request);
QJsonObject toJson(const Confirm &request);
QJsonObject toJson(const Poll &request);
QJsonObject toJson(const Close &request);
// The push body as JSON text, written straight into bytes: the session members ("kind", "role",
// "sessionId", "token") first, then "payload" with the base64 copied in as it is, never through
// a JSON string object, so a switchboard can check the session before it reads a large payload;
// a paced push's "waitMs" follows the payload.
// `request.frame.base64` must be base64 text, as SessionProtocol::encode makes it. `buffer` is
// cleared and written into, so a caller can hand in one whose capacity an earlier body left
// behind.
QByteArray toBytes(const Push &request, QByteArray buffer = {});

// --- Paths ---

QString pathOf(const Prove &);
QString pathOf(const Register &);
QString pathOf(const Heartbeat &);
QString pathOf(const Origin &);
QString pathOf(const Lockout &);
QString pathOf(const Lookup &);
QString pathOf(const Connect &);
QString pathOf(const Claim &);
QString pathOf(const Confirm &);
QString pathOf(const Push &);
QString pathOf(const Poll &);
QString pathOf(const Close &);

// Sends `request` through `api` (see KivrenAPI::post for the stop and the outcome).
template<typename Request>
QCoro::Task<KivrenAnswer> post(KivrenAPI &api, const Request &request, std::stop_token stop = {})
{
    return api.post(pathOf(request), toJson(request), std::move(stop));
}
// A poll, held for its "waitMs" when it names one: that long goes by without progress before
// the answer comes (KivrenAPI::postHeld).
QCoro::Task<KivrenAnswer> post(KivrenAPI &api, const Poll &request, std::stop_token stop = {});
// A push, its body built into `buffer` (KivrenAPI::bodyBuffer() for a large one).
QCoro::Task<KivrenAnswer> post(KivrenAPI &api, const Push &request, std::stop_token stop = {}, QByteArray buffer = {});

} // namespace SwitchboardRequests
