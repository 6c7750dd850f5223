#pragma once

#include "KeySchedule.h"
#include "SealedChannel.h"
#include "SessionFeatures.h"
#include "SessionProtocol.h"

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QString>

#include <optional>

// One side of an encrypted session's opening: CPace between the viewer and the host, keyed by the
// host's password, carried as json session messages, with explicit key confirmation by both sides.
// Nothing sealed is sent or taken before it has established the channel.
//
//   viewer -> host  {"nonce":…,"type":"e2e-open","versions":[1]}
//   host -> viewer  {"ad":…,"nonce":…,"share":…,"type":"e2e-share"}             CPace's first message
//   viewer -> host  {"ad":…,"confirm":…,"share":…,"type":"e2e-share"}           its second, and the viewer's proof
//   host -> viewer  {"confirm":…,"type":"e2e-confirm"}                          the host's proof
//
// Every value is base64. The host is CPace's initiator and the viewer its responder, so the
// transcript is ordered (transcript_ir). The inputs:
// - sid = the host's 16 random bytes || the viewer's 16: fresh from both sides, the viewer's sent
//   before the host draws its share, the host's with its share;
// - CI = lv_cat("host", the host's 9-digit ID, "viewer", the session ID): both parties and their
//   roles, never sent;
// - PRS = the password's compact form (its alphabet characters, upper-cased), as ASCII;
// - ADa, ADb = each side's {"features":[…],"version":…,"versions":[…]} as JSON text: the session
//   additions it offers, the version in use and every version it supports. They are in the
//   transcript, so the proofs cover them: each side checks that the version in use is the highest
//   both support, so a relay that struck a version from "e2e-open" is found out.
//
// A side takes the other's message with receive() and sends back the step's reply. The host knows
// the viewer had the password when the viewer's proof checks out; the viewer, when the host's does.
class KeyExchange
{
public:
    static inline const QString typeOpen = QStringLiteral("e2e-open");
    static inline const QString typeShare = QStringLiteral("e2e-share");
    static inline const QString typeConfirm = QStringLiteral("e2e-confirm");
    static constexpr qsizetype nonceBytes = 16;

    enum class Failure {
        unexpected,        // not the message this side waits for
        malformed,         // a member missing, not base64, or of the wrong length
        noCommonVersion,   // the sides share no version
        downgraded,        // the version in use is not the highest both support
        invalidShare,      // a share that is no group element, or gives the identity
        wrongConfirmation, // the other side's proof fails: it used another password (or is not who it says)
    };

    struct Party
    {
        QString password;         // as typed or stored: only its compact form counts
        QString hostId;           // the host's 9-digit ID
        QString sessionId;        // the session's ID, as the switchboard named it to both
        SessionFeatures features; // the session additions this side offers (hello's or caps')
        QList<int> versions = {1};
    };
    // What this side draws at random: its part of sid and its CPace scalar.
    struct Randomness
    {
        QByteArray nonce;
        QByteArray scalar;

        static Randomness fresh();
    };

    struct Established
    {
        SealedChannel channel;
        int version = 0;
        SessionFeatures peerFeatures; // as the other side's confirmed data names them
    };
    // What taking one message gives: a reply to send (if any), and either the channel, once both
    // sides are confirmed, or the failure that ends the session.
    struct Step
    {
        std::optional<QJsonObject> reply;
        std::optional<Established> established;
        std::optional<Failure> failure;
    };

    static KeyExchange forViewer(Party party, Randomness randomness = Randomness::fresh());
    static KeyExchange forHost(Party party, Randomness randomness = Randomness::fresh());

    // A message of the exchange as the plain json frame it travels in.
    static SessionProtocol::Envelope frameOf(const QJsonObject &message);

    // The viewer's first message ("e2e-open"), sent as soon as its session is open.
    QJsonObject openMessage() const;
    Step receive(const QJsonObject &message);

private:
    enum class Stage { waitingForOpen, waitingForShare, waitingForConfirmation, done, failed };

    KeyExchange(SessionProtocol::Role role, Party party, Randomness randomness);

    Step hostTakesOpen(const QJsonObject &message);
    Step viewerTakesShare(const QJsonObject &message);
    Step hostTakesShare(const QJsonObject &message);
    Step viewerTakesConfirmation(const QJsonObject &message);
    Step fail(Failure failure);
    // Once the exchange is over, its scalar and keys are no use: the channel holds copies of
    // its two direction keys.
    void forgetSecrets();

    QByteArray ownAssociatedData() const;
    // This side's share from the generator of the password, CI and sid; false if refused.
    bool drawShare();
    // Derives ISK and the keys from the other side's share; false when the share is refused.
    bool deriveKeys(const QByteArray &peerShare);
    Established established() const;

    SessionProtocol::Role m_role;
    Party m_party;
    Randomness m_randomness;
    Stage m_stage;
    QByteArray m_ownShare;
    QByteArray m_ownData;
    QByteArray m_sid;
    QByteArray m_peerShare;
    QByteArray m_peerData;
    int m_version = 0;
    SessionFeatures m_peerFeatures;
    QByteArray m_transcript;
    KeySchedule m_keys;
};
