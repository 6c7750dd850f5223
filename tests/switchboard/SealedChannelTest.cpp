#include "E2eVectors.h"
#include "KeyExchange.h"
#include "SealedChannel.h"

#include <QJsonArray>

#include <gtest/gtest.h>

namespace {

using E2eVectors::bytes;
using SessionProtocol::Role;
using Refusal = SealedChannel::Refusal;

SealedChannel channelFor(Role self, QByteArray sid = bytes(E2eVectors::section("keySchedule")["sid"]))
{
    const QJsonObject v = E2eVectors::section("keySchedule");
    return SealedChannel(self, KeySchedule::derive(bytes(v["isk"]), bytes(v["sid"])), std::move(sid));
}

// What opening gave: the inner kind, or the refusal's name.
std::string outcome(const std::variant<SealedChannel::Opened, Refusal> &opened)
{
    if (const auto *frame = std::get_if<SealedChannel::Opened>(&opened))
        return frame->kind.toStdString();
    switch (std::get<Refusal>(opened)) {
    case Refusal::malformed:
        return "malformed";
    case Refusal::replayed:
        return "replayed";
    case Refusal::forged:
        return "forged";
    case Refusal::missing:
        return "missing";
    }
    return "?";
}

TEST(SealedChannel, Frames_EqualTheVectorsAndOpen)
{
    const QJsonObject v = E2eVectors::section("exchange");
    const auto party = [&v](const char *side) {
        return KeyExchange::Party{v["password"].toString(), v["hostId"].toString(), v["sessionId"].toString(),
                                  SessionFeatures::fromJson(v[side].toObject()["features"])};
    };
    const auto randomness = [&v](const char *side) {
        return KeyExchange::Randomness{bytes(v[side].toObject()["nonce"]), bytes(v[side].toObject()["scalar"])};
    };
    KeyExchange viewer = KeyExchange::forViewer(party("viewer"), randomness("viewer"));
    KeyExchange host = KeyExchange::forHost(party("host"), randomness("host"));
    const KeyExchange::Step hostDone = host.receive(*viewer.receive(*host.receive(viewer.openMessage()).reply).reply);
    const KeyExchange::Step viewerDone = viewer.receive(*hostDone.reply);
    ASSERT_TRUE(hostDone.established && viewerDone.established);
    SealedChannel hostChannel = hostDone.established->channel;
    SealedChannel viewerChannel = viewerDone.established->channel;

    const QJsonArray frames = E2eVectors::all()["sealed"].toArray();
    ASSERT_FALSE(frames.isEmpty());
    for (const QJsonValue &row : frames) {
        const bool fromHost = row["sender"].toString() == QLatin1String("host");
        const QString kind = row["kind"].toString();
        SCOPED_TRACE(row["sender"].toString().toStdString() + " " + kind.toStdString());
        const QByteArray sealed = (fromHost ? hostChannel : viewerChannel).seal(kind, bytes(row["plaintext"]));
        EXPECT_EQ(SealedChannel::sealedKind(kind), row["sealedKind"].toString());
        EXPECT_EQ(sealed.toHex(), row["payload"].toString().toLatin1());
        const auto opened = (fromHost ? viewerChannel : hostChannel).open(row["sealedKind"].toString(), bytes(row["payload"]));
        ASSERT_EQ(outcome(opened), kind.toStdString());
        EXPECT_EQ(std::get<SealedChannel::Opened>(opened).bytes, bytes(row["plaintext"]));
    }
}

struct Frame
{
    QString kind;
    QByteArray bytes;
};

QByteArray flipped(QByteArray bytes, qsizetype at)
{
    bytes[at < 0 ? bytes.size() + at : at] = static_cast<char>(bytes[at < 0 ? bytes.size() + at : at] ^ 0x01);
    return bytes;
}

struct RefusalCase
{
    const char *name;
    QStringList sealed; // what the host seals, in order
    // What the viewer is then handed, each with what opening it must give.
    std::function<QList<std::pair<Frame, std::string>>(const QList<Frame> &)> handed;
};

class SealedChannelRefusal : public ::testing::TestWithParam<RefusalCase>
{
};

TEST_P(SealedChannelRefusal, Open_TakesOnlyWhatWasSentSoInOrder)
{
    SealedChannel host = channelFor(Role::host);
    SealedChannel viewer = channelFor(Role::viewer);
    QList<Frame> frames;
    for (const QString &kind : GetParam().sealed) {
        const QString sealedKind = SealedChannel::sealedKind(kind);
        frames.append({sealedKind, host.seal(kind, QByteArray(GetParam().name) + ' ' + kind.toLatin1())});
    }
    int index = 0;
    for (const auto &[frame, expected] : GetParam().handed(frames))
        EXPECT_EQ(outcome(viewer.open(frame.kind, frame.bytes)), expected) << "frame handed " << index++;
}

std::vector<RefusalCase> refusalCases()
{
    using Handed = QList<std::pair<Frame, std::string>>;
    const QString json = SessionProtocol::kindJson;
    const QString jpeg = SessionProtocol::kindJpeg;
    const QString tiles = SessionProtocol::kindTiles;
    return {
        {"AlteredCiphertext", {json},
         [](const auto &f) { return Handed{{{f[0].kind, flipped(f[0].bytes, 20)}, "forged"}, {f[0], "json"}}; }},
        {"AlteredTag", {json}, [](const auto &f) { return Handed{{{f[0].kind, flipped(f[0].bytes, -1)}, "forged"}}; }},
        {"AlteredAnchor", {json, json},
         [](const auto &f) { return Handed{{f[0], "json"}, {{f[1].kind, flipped(f[1].bytes, 15)}, "forged"}}; }},
        {"RelabelledKind", {jpeg},
         [](const auto &f) { return Handed{{{SealedChannel::kindSealedJson, f[0].bytes}, "forged"}, {f[0], "jpeg"}}; }},
        {"Replayed", {json}, [](const auto &f) { return Handed{{f[0], "json"}, {f[0], "replayed"}}; }},
        {"ReplayedAfterLater", {json, json},
         [](const auto &f) { return Handed{{f[0], "json"}, {f[1], "json"}, {f[0], "replayed"}}; }},
        {"ReorderedThenInOrder", {json, json},
         [](const auto &f) { return Handed{{f[1], "missing"}, {f[0], "json"}, {f[1], "json"}}; }},
        {"JsonDropped", {json, json, jpeg}, [](const auto &f) { return Handed{{f[0], "json"}, {f[2], "missing"}}; }},
        {"PictureDroppedBeforeItsTiles", {jpeg, tiles}, [](const auto &f) { return Handed{{f[1], "missing"}}; }},
        {"ReplacedPictureAndItsTilesDropped", {json, jpeg, tiles, jpeg, tiles},
         [](const auto &f) { return Handed{{f[0], "json"}, {f[3], "jpeg"}, {f[4], "tiles"}}; }},
        {"Truncated", {json}, [](const auto &f) { return Handed{{{f[0].kind, f[0].bytes.left(31)}, "malformed"}}; }},
        {"UnknownKind", {json}, [](const auto &f) { return Handed{{{SessionProtocol::kindJson, f[0].bytes}, "malformed"}}; }},
    };
}

INSTANTIATE_TEST_SUITE_P(Cases, SealedChannelRefusal, ::testing::ValuesIn(refusalCases()),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(SealedChannel, Open_RefusesAFrameFromElsewhere)
{
    SealedChannel viewer = channelFor(Role::viewer);
    SealedChannel host = channelFor(Role::host);
    const QByteArray fromViewer = viewer.seal(SessionProtocol::kindJson, R"({"type":"key"})");
    // Reflected back to its sender, it would have to open under the other direction's key.
    EXPECT_EQ(outcome(viewer.open(SealedChannel::kindSealedJson, fromViewer)), "forged");
    SealedChannel otherSession = channelFor(Role::host, flipped(bytes(E2eVectors::section("keySchedule")["sid"]), 0));
    EXPECT_EQ(outcome(otherSession.open(SealedChannel::kindSealedJson, fromViewer)), "forged");
    EXPECT_EQ(outcome(host.open(SealedChannel::kindSealedJson, fromViewer)), "json");
    EXPECT_TRUE(host.seal(QStringLiteral("caps"), "{}").isEmpty());
}

} // namespace
