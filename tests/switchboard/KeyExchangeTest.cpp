#include "E2eVectors.h"
#include "KeyExchange.h"

#include <QJsonArray>

#include <gtest/gtest.h>

#include <functional>

namespace {

using E2eVectors::bytes;
using Failure = KeyExchange::Failure;

QJsonObject exchangeVectors()
{
    return E2eVectors::section("exchange");
}

KeyExchange::Party party(const char *side)
{
    const QJsonObject v = exchangeVectors();
    return {v["password"].toString(), v["hostId"].toString(), v["sessionId"].toString(),
            SessionFeatures::fromJson(v[side].toObject()["features"])};
}

KeyExchange::Randomness randomness(const char *side)
{
    const QJsonObject v = exchangeVectors()[side].toObject();
    return {bytes(v["nonce"]), bytes(v["scalar"])};
}

QJsonObject vectorMessage(int index)
{
    return exchangeVectors()["messages"].toArray()[index].toObject();
}

// Each message on its way from one side to the other (its index: 0 the opening, 1 the host's
// share, 2 the viewer's, 3 the host's proof), as a relay could change it.
using Relay = std::function<QJsonObject(int, QJsonObject)>;

QJsonObject unchanged(int, QJsonObject message)
{
    return message;
}

struct Exchanged
{
    QList<QJsonObject> sent;
    QList<KeyExchange::Step> steps;

    std::optional<Failure> failure() const { return steps.isEmpty() ? std::nullopt : steps.back().failure; }
};

Exchanged run(KeyExchange viewer, KeyExchange host, const Relay &relay = unchanged)
{
    Exchanged result;
    QJsonObject message = relay(0, viewer.openMessage());
    result.sent.append(message);
    KeyExchange *turns[] = {&host, &viewer, &host, &viewer};
    for (int index = 1; index <= 4; ++index) {
        KeyExchange::Step step = turns[index - 1]->receive(message);
        result.steps.append(step);
        if (step.failure || !step.reply)
            break;
        message = relay(index, *step.reply);
        result.sent.append(message);
    }
    return result;
}

Exchanged runWithVectors(KeyExchange::Party viewer, KeyExchange::Party host, const Relay &relay = unchanged)
{
    return run(KeyExchange::forViewer(std::move(viewer), randomness("viewer")),
               KeyExchange::forHost(std::move(host), randomness("host")), relay);
}

TEST(KeyExchange, Messages_EqualTheVectorsOnBothSides)
{
    ASSERT_FALSE(exchangeVectors().isEmpty());
    const Exchanged result = runWithVectors(party("viewer"), party("host"));
    ASSERT_EQ(result.sent.size(), 4);
    for (int index = 0; index < 4; ++index)
        EXPECT_EQ(result.sent[index], vectorMessage(index)) << "message " << index;
    ASSERT_TRUE(result.steps[2].established && result.steps[3].established);
    EXPECT_EQ(result.steps[2].established->peerFeatures, SessionFeatures({"tiles"}));
    EXPECT_EQ(result.steps[3].established->peerFeatures, SessionFeatures({"keys", "modifiers"}));
    EXPECT_EQ(result.steps[3].established->version, 1);
}

TEST(KeyExchange, FreshRandomness_BothSidesShareAChannel)
{
    KeyExchange::Party viewer = party("viewer");
    viewer.password = QStringLiteral("ABCDEFGH");
    KeyExchange::Party host = party("host");
    host.password = QStringLiteral("abcd-efgh");
    const Exchanged result = run(KeyExchange::forViewer(viewer), KeyExchange::forHost(host));
    ASSERT_EQ(result.failure(), std::nullopt);
    ASSERT_TRUE(result.steps[2].established && result.steps[3].established);
    SealedChannel viewerChannel = result.steps[3].established->channel;
    SealedChannel hostChannel = result.steps[2].established->channel;
    const QByteArray frame = viewerChannel.seal(SessionProtocol::kindJson, R"({"type":"close"})");
    const auto opened = hostChannel.open(SealedChannel::kindSealedJson, frame);
    ASSERT_TRUE(std::holds_alternative<SealedChannel::Opened>(opened));
    EXPECT_EQ(std::get<SealedChannel::Opened>(opened).bytes, R"({"type":"close"})");
}

QString flipFirstBit(const QJsonValue &base64)
{
    QByteArray bytes = QByteArray::fromBase64(base64.toString().toLatin1());
    bytes[0] = static_cast<char>(bytes[0] ^ 0x01);
    return QString::fromLatin1(bytes.toBase64());
}

// Changes the message at `at` with `change`, passes the others as they are.
Relay only(int at, std::function<void(QJsonObject &)> change)
{
    return [at, change](int index, QJsonObject message) {
        if (index == at)
            change(message);
        return message;
    };
}

struct FailureCase
{
    const char *name;
    std::function<void(KeyExchange::Party &viewer, KeyExchange::Party &host)> parties;
    Relay relay;
    Failure expected;
    int failingStep; // 0: the host taking the opening, ... 3: the viewer taking the host's proof
};

class KeyExchangeFailure : public ::testing::TestWithParam<FailureCase>
{
};

TEST_P(KeyExchangeFailure, Exchange_EndsAtTheStepThatFindsIt)
{
    KeyExchange::Party viewer = party("viewer");
    KeyExchange::Party host = party("host");
    GetParam().parties(viewer, host);
    const Exchanged result = runWithVectors(viewer, host, GetParam().relay);
    EXPECT_EQ(result.failure(), GetParam().expected);
    EXPECT_EQ(result.steps.size() - 1, GetParam().failingStep);
    EXPECT_FALSE(result.steps.back().reply || result.steps.back().established)
        << "the failing side sends and opens nothing";
}

void asIs(KeyExchange::Party &, KeyExchange::Party &) {}

std::vector<FailureCase> failureCases()
{
    const QJsonObject invalid = E2eVectors::section("scalarMult")["invalid"].toObject();
    const QString identity = QString::fromLatin1(bytes(invalid["identity"]).toBase64());
    const QString offGroup = QString::fromLatin1(bytes(invalid["notOnTheGroup"]).toBase64());
    const auto share = [](const QString &value) { return [value](QJsonObject &m) { m["share"] = value; }; };
    return {
        {"WrongPassword_HostRefusesTheViewersProof",
         [](auto &viewer, auto &) { viewer.password = QStringLiteral("ABCD-EFGJ"); }, unchanged,
         Failure::wrongConfirmation, 2},
        {"IdentityShareFromHost_ViewerAborts", asIs, only(1, share(identity)), Failure::invalidShare, 1},
        {"InvalidShareFromHost_ViewerAborts", asIs, only(1, share(offGroup)), Failure::invalidShare, 1},
        {"IdentityShareFromViewer_HostAborts", asIs, only(2, share(identity)), Failure::invalidShare, 2},
        {"InvalidShareFromViewer_HostAborts", asIs, only(2, share(offGroup)), Failure::invalidShare, 2},
        {"ForgedHostProof_ViewerRefuses", asIs, only(3, [](QJsonObject &m) { m["confirm"] = flipFirstBit(m["confirm"]); }),
         Failure::wrongConfirmation, 3},
        {"ViewerProofReflected_ViewerRefuses", asIs,
         only(3, [](QJsonObject &m) { m["confirm"] = vectorMessage(2)["confirm"]; }), Failure::wrongConfirmation, 3},
        {"AlteredHostData_HostRefusesTheProof", asIs,
         only(1, [](QJsonObject &m) { m["ad"] = QString::fromLatin1(QByteArray(R"({"features":[],"version":1,"versions":[1]})").toBase64()); }),
         Failure::wrongConfirmation, 2},
        {"AlteredSessionNonce_HostRefusesTheProof", asIs, only(0, [](QJsonObject &m) { m["nonce"] = flipFirstBit(m["nonce"]); }),
         Failure::wrongConfirmation, 2},
        {"OtherSessionId_HostRefusesTheProof", [](auto &viewer, auto &) { viewer.sessionId = QStringLiteral("another"); },
         unchanged, Failure::wrongConfirmation, 2},
        {"OtherHostId_HostRefusesTheProof", [](auto &viewer, auto &) { viewer.hostId = QStringLiteral("987654321"); },
         unchanged, Failure::wrongConfirmation, 2},
        {"VersionStruckFromOpening_ViewerFindsTheDowngrade",
         [](auto &viewer, auto &host) { viewer.versions = host.versions = {1, 2}; },
         only(0, [](QJsonObject &m) { m["versions"] = QJsonArray{1}; }), Failure::downgraded, 1},
        {"NoCommonVersion_HostRefuses", [](auto &viewer, auto &) { viewer.versions = {2}; }, unchanged,
         Failure::noCommonVersion, 0},
        {"ShortNonce_Malformed", asIs, only(0, [](QJsonObject &m) { m["nonce"] = "AAAA"; }), Failure::malformed, 0},
        {"ProofNotBase64_Malformed", asIs, only(2, [](QJsonObject &m) { m["confirm"] = "!"; }), Failure::malformed, 2},
        {"DataNotJson_Malformed", asIs, only(1, [](QJsonObject &m) { m["ad"] = "AAAA"; }), Failure::malformed, 1},
        {"ConfirmationBeforeShare_Unexpected", asIs, only(1, [](QJsonObject &m) { m = vectorMessage(3); }),
         Failure::unexpected, 1},
        {"SecondOpening_Unexpected", asIs, only(2, [](QJsonObject &m) { m = vectorMessage(0); }), Failure::unexpected, 2},
    };
}

INSTANTIATE_TEST_SUITE_P(Cases, KeyExchangeFailure, ::testing::ValuesIn(failureCases()),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(KeyExchange, AfterFailure_NothingMoreIsTaken)
{
    KeyExchange host = KeyExchange::forHost(party("host"), randomness("host"));
    QJsonObject opening = vectorMessage(0);
    opening["nonce"] = "AAAA";
    EXPECT_EQ(host.receive(opening).failure, Failure::malformed);
    EXPECT_EQ(host.receive(vectorMessage(0)).failure, Failure::unexpected);
}

} // namespace
