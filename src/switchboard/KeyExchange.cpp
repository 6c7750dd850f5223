#include "KeyExchange.h"

#include "Base64.h"
#include "Cpace.h"
#include "KivrenIds.h"
#include "Sodium.h"

#include <QJsonArray>
#include <QJsonDocument>

#include <sodium.h>

#include <cmath>

namespace {

using SessionProtocol::Role;

const QString typeMember = QStringLiteral("type");
const QString nonceMember = QStringLiteral("nonce");
const QString versionsMember = QStringLiteral("versions");
const QString versionMember = QStringLiteral("version");
const QString featuresMember = QStringLiteral("features");
const QString shareMember = QStringLiteral("share");
const QString dataMember = QStringLiteral("ad");
const QString confirmMember = QStringLiteral("confirm");

// Version numbers are small positive integers; anything else in a list is not one.
constexpr double largestVersion = 1 << 20;

std::optional<int> versionFrom(const QJsonValue &value)
{
    const double number = value.toDouble(-1);
    if (!value.isDouble() || number < 1 || number > largestVersion || std::floor(number) != number)
        return std::nullopt;
    return static_cast<int>(number);
}

QList<int> versionsFrom(const QJsonValue &value)
{
    QList<int> versions;
    for (const QJsonValue &element : value.toArray()) {
        if (const auto version = versionFrom(element))
            versions.append(*version);
    }
    return versions;
}

QJsonArray toJson(const QList<int> &versions)
{
    QJsonArray array;
    for (int version : versions)
        array.append(version);
    return array;
}

std::optional<int> highestCommon(const QList<int> &ours, const QList<int> &theirs)
{
    std::optional<int> highest;
    for (int version : ours) {
        if (theirs.contains(version) && (!highest || version > *highest))
            highest = version;
    }
    return highest;
}

// A base64 member of `size` bytes.
std::optional<QByteArray> bytesMember(const QJsonObject &message, const QString &name, qsizetype size)
{
    const QJsonValue value = message.value(name);
    if (!value.isString())
        return std::nullopt;
    auto bytes = Base64::decodeStrict(QStringView(value.toString()));
    if (!bytes || (size >= 0 && bytes->size() != size))
        return std::nullopt;
    return bytes;
}

// The other side's associated data: a JSON object with its version in use, the versions it
// supports and the additions it offers.
struct PeerData
{
    int version = 0;
    QList<int> versions;
    SessionFeatures features;
};

std::optional<PeerData> peerDataFrom(const QByteArray &text)
{
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(text, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return std::nullopt;
    const QJsonObject object = document.object();
    const auto version = versionFrom(object.value(versionMember));
    if (!version)
        return std::nullopt;
    return PeerData{*version, versionsFrom(object.value(versionsMember)),
                    SessionFeatures::fromJson(object.value(featuresMember))};
}

QString base64(const QByteArray &bytes)
{
    return QString::fromLatin1(Base64::encode(bytes));
}

} // namespace

KeyExchange::Randomness KeyExchange::Randomness::fresh()
{
    Sodium::ensureReady();
    QByteArray nonce(nonceBytes, Qt::Uninitialized);
    randombytes_buf(nonce.data(), static_cast<size_t>(nonce.size()));
    return {nonce, Cpace::sampleScalar()};
}

KeyExchange::KeyExchange(Role role, Party party, Randomness randomness)
    : m_role(role)
    , m_party(std::move(party))
    , m_randomness(std::move(randomness))
    , m_stage(role == Role::host ? Stage::waitingForOpen : Stage::waitingForShare)
{
}

KeyExchange KeyExchange::forViewer(Party party, Randomness randomness)
{
    return KeyExchange(Role::viewer, std::move(party), std::move(randomness));
}

KeyExchange KeyExchange::forHost(Party party, Randomness randomness)
{
    return KeyExchange(Role::host, std::move(party), std::move(randomness));
}

QJsonObject KeyExchange::openMessage() const
{
    return {{typeMember, typeOpen}, {nonceMember, base64(m_randomness.nonce)}, {versionsMember, toJson(m_party.versions)}};
}

KeyExchange::Step KeyExchange::receive(const QJsonObject &message)
{
    const QString type = message.value(typeMember).toString();
    switch (m_stage) {
    case Stage::waitingForOpen:
        if (type == typeOpen)
            return hostTakesOpen(message);
        break;
    case Stage::waitingForShare:
        if (type == typeShare)
            return m_role == Role::host ? hostTakesShare(message) : viewerTakesShare(message);
        break;
    case Stage::waitingForConfirmation:
        if (type == typeConfirm)
            return viewerTakesConfirmation(message);
        break;
    case Stage::done:
    case Stage::failed:
        break;
    }
    return fail(Failure::unexpected);
}

KeyExchange::Step KeyExchange::fail(Failure failure)
{
    m_stage = Stage::failed;
    forgetSecrets();
    return Step{std::nullopt, std::nullopt, failure};
}

void KeyExchange::forgetSecrets()
{
    // fill() writes over this side's own copy (detaching it first if shared).
    m_randomness.scalar.fill('\0');
    for (QByteArray *key : {&m_keys.viewerToHost, &m_keys.hostToViewer, &m_keys.viewerConfirmation, &m_keys.hostConfirmation})
        key->fill('\0');
}

QByteArray KeyExchange::ownAssociatedData() const
{
    const QJsonObject data{{featuresMember, m_party.features.toJson()},
                           {versionMember, m_version},
                           {versionsMember, toJson(m_party.versions)}};
    return QJsonDocument(data).toJson(QJsonDocument::Compact);
}

bool KeyExchange::drawShare()
{
    const QByteArray prs = KivrenIds::compactPassword(m_party.password).toUtf8();
    const QByteArray ci =
        Cpace::lengthValueConcat({"host", m_party.hostId.toUtf8(), "viewer", m_party.sessionId.toUtf8()});
    const auto share = Cpace::scalarMultVerify(m_randomness.scalar, Cpace::calculateGenerator(prs, ci, m_sid));
    if (!share)
        return false;
    m_ownShare = *share;
    m_ownData = ownAssociatedData();
    return true;
}

bool KeyExchange::deriveKeys(const QByteArray &peerShare)
{
    const auto sharedPoint = Cpace::scalarMultVerify(m_randomness.scalar, peerShare);
    if (!sharedPoint)
        return false;
    m_peerShare = peerShare;
    m_transcript = m_role == Role::host
        ? Cpace::transcriptInitiatorResponder(m_ownShare, m_ownData, m_peerShare, m_peerData)
        : Cpace::transcriptInitiatorResponder(m_peerShare, m_peerData, m_ownShare, m_ownData);
    const QByteArray isk = Cpace::intermediateSessionKey(m_sid, *sharedPoint, m_transcript);
    m_keys = KeySchedule::derive(isk, m_sid);
    return true;
}

KeyExchange::Established KeyExchange::established() const
{
    return Established{SealedChannel(m_role, m_keys, m_sid), m_version, m_peerFeatures};
}

KeyExchange::Step KeyExchange::hostTakesOpen(const QJsonObject &message)
{
    const auto viewerNonce = bytesMember(message, nonceMember, nonceBytes);
    if (!viewerNonce)
        return fail(Failure::malformed);
    const auto version = highestCommon(m_party.versions, versionsFrom(message.value(versionsMember)));
    if (!version)
        return fail(Failure::noCommonVersion);
    m_version = *version;

    m_sid = m_randomness.nonce + *viewerNonce;
    if (!drawShare())
        return fail(Failure::invalidShare);
    m_stage = Stage::waitingForShare;
    return Step{QJsonObject{{typeMember, typeShare},
                            {nonceMember, base64(m_randomness.nonce)},
                            {shareMember, base64(m_ownShare)},
                            {dataMember, base64(m_ownData)}},
                std::nullopt, std::nullopt};
}

KeyExchange::Step KeyExchange::viewerTakesShare(const QJsonObject &message)
{
    const auto hostNonce = bytesMember(message, nonceMember, nonceBytes);
    const auto hostShare = bytesMember(message, shareMember, Cpace::pointBytes);
    const auto hostData = bytesMember(message, dataMember, -1);
    const auto peer = hostData ? peerDataFrom(*hostData) : std::nullopt;
    if (!hostNonce || !hostShare || !peer)
        return fail(Failure::malformed);
    const auto best = highestCommon(m_party.versions, peer->versions);
    if (!best)
        return fail(Failure::noCommonVersion);
    if (peer->version != *best)
        return fail(Failure::downgraded);
    m_version = peer->version;
    m_peerFeatures = peer->features;
    m_peerData = *hostData;

    m_sid = *hostNonce + m_randomness.nonce;
    if (!drawShare() || !deriveKeys(*hostShare))
        return fail(Failure::invalidShare);

    m_stage = Stage::waitingForConfirmation;
    return Step{QJsonObject{{typeMember, typeShare},
                            {shareMember, base64(m_ownShare)},
                            {dataMember, base64(m_ownData)},
                            {confirmMember, base64(m_keys.confirmationTag(Role::viewer, m_transcript))}},
                std::nullopt, std::nullopt};
}

KeyExchange::Step KeyExchange::hostTakesShare(const QJsonObject &message)
{
    const auto viewerShare = bytesMember(message, shareMember, Cpace::pointBytes);
    const auto viewerData = bytesMember(message, dataMember, -1);
    const auto proof = bytesMember(message, confirmMember, KeySchedule::tagBytes);
    const auto peer = viewerData ? peerDataFrom(*viewerData) : std::nullopt;
    if (!viewerShare || !proof || !peer)
        return fail(Failure::malformed);
    m_peerData = *viewerData;
    if (!deriveKeys(*viewerShare))
        return fail(Failure::invalidShare);
    if (!m_keys.confirms(Role::viewer, m_transcript, *proof))
        return fail(Failure::wrongConfirmation);
    // The viewer's data is confirmed now: it names every version the viewer supports, whatever
    // its opening message said on the way.
    if (peer->version != m_version || highestCommon(m_party.versions, peer->versions) != m_version)
        return fail(Failure::downgraded);
    m_peerFeatures = peer->features;

    m_stage = Stage::done;
    Step step{QJsonObject{{typeMember, typeConfirm},
                          {confirmMember, base64(m_keys.confirmationTag(Role::host, m_transcript))}},
              established(), std::nullopt};
    forgetSecrets();
    return step;
}

KeyExchange::Step KeyExchange::viewerTakesConfirmation(const QJsonObject &message)
{
    const auto proof = bytesMember(message, confirmMember, KeySchedule::tagBytes);
    if (!proof)
        return fail(Failure::malformed);
    if (!m_keys.confirms(Role::host, m_transcript, *proof))
        return fail(Failure::wrongConfirmation);
    m_stage = Stage::done;
    Step step{std::nullopt, established(), std::nullopt};
    forgetSecrets();
    return step;
}

SessionProtocol::Envelope KeyExchange::frameOf(const QJsonObject &message)
{
    return {SessionProtocol::kindJson, Base64::encode(QJsonDocument(message).toJson(QJsonDocument::Compact))};
}
