#include "Base64.h"
#include "E2eVectors.h"
#include "SessionSeal.h"

#include <QJsonDocument>

#include <gtest/gtest.h>

namespace {

using E2eVectors::bytes;
using namespace SessionProtocol;

SessionSeal sealFor(Role self)
{
    const QJsonObject v = E2eVectors::section("keySchedule");
    return SessionSeal(SealedChannel(self, KeySchedule::derive(bytes(v["isk"]), bytes(v["sid"])), bytes(v["sid"])));
}

// A frame as a poll answer carries it, decoded.
Frame arriving(const Envelope &envelope)
{
    return {envelope.kind, *Base64::decodeStrict(QByteArrayView(envelope.base64)), std::nullopt};
}

struct Pair
{
    SessionSeal viewer = sealFor(Role::viewer);
    SessionSeal host = sealFor(Role::host);
};

TEST(SessionSeal, Messages_OpenAsTheyWereWithTheirKinds)
{
    Pair pair;
    const Envelope key = encode(ViewerMessage{Key{QString(), QStringLiteral("s"), true, {}}});
    const Envelope picture = encode(HostMessage{Picture{QByteArray("\xff\xd8 picture", 10)}});
    const Envelope sealedKey = pair.viewer.seal(key);
    const Envelope sealedPicture = pair.host.seal(picture);
    EXPECT_EQ(sealedKey.kind, QStringLiteral("sealed-json"));
    EXPECT_EQ(sealedPicture.kind, QStringLiteral("sealed-jpeg"));

    const SessionSeal::Opened atHost = pair.host.open({arriving(sealedKey)});
    ASSERT_FALSE(atHost.failed);
    ASSERT_EQ(atHost.frames.size(), 1);
    EXPECT_EQ(decodeViewerMessage(*atHost.frames[0].message), std::optional<ViewerMessage>(Key{QString(), QStringLiteral("s"), true, {}}));
    const SessionSeal::Opened atViewer = pair.viewer.open({arriving(sealedPicture)});
    ASSERT_EQ(atViewer.frames.size(), 1);
    EXPECT_EQ(decodeHostMessage(atViewer.frames[0]), std::optional<HostMessage>(Picture{QByteArray("\xff\xd8 picture", 10)}));
}

// What arrives at the host, and what it takes of it: the sealed input it took, and whether the
// session must end.
struct Arrival
{
    const char *name;
    // Three keys sealed in order, then changed on their way: which of them arrive, and how.
    std::function<QList<Frame>(const QList<Frame> &sealed)> onTheWay;
    QList<QString> taken;
    bool failed;
    int replays;
};

class SessionSealArrival : public testing::TestWithParam<Arrival>
{
};

TEST_P(SessionSealArrival, HostTakesOnlyWhatOpens)
{
    Pair pair;
    QList<Frame> sealed;
    for (const char *letter : {"a", "b", "c"})
        sealed.append(arriving(pair.viewer.seal(encode(ViewerMessage{Text{QString::fromLatin1(letter)}}))));
    const SessionSeal::Opened opened = pair.host.open(GetParam().onTheWay(sealed));
    QList<QString> taken;
    for (const Frame &frame : opened.frames)
        taken.append(frame.message->value(QStringLiteral("key")).toString());
    EXPECT_EQ(taken, GetParam().taken);
    EXPECT_EQ(opened.failed, GetParam().failed);
    EXPECT_EQ(opened.replays, GetParam().replays);
}

const Frame plainKey = arriving(encode(ViewerMessage{Text{QStringLiteral("x")}}));
const Frame switchboardClose = Frame{kindJson, "{\"type\":\"close\"}", QJsonObject{{"type", "close"}}};

INSTANTIATE_TEST_SUITE_P(
    Frames, SessionSealArrival,
    testing::Values(
        Arrival{"AllInOrder", [](const QList<Frame> &s) { return s; }, {"a", "b", "c"}, false, 0},
        Arrival{"ReplayedInput_Dropped", [](const QList<Frame> &s) { return QList<Frame>{s[0], s[1], s[0], s[1], s[2]}; },
                {"a", "b", "c"}, false, 2},
        Arrival{"FlippedBit_EndsBeforeIt",
                [](const QList<Frame> &s) {
                    QList<Frame> changed = s;
                    changed[1].bytes[20] = char(changed[1].bytes[20] ^ 0x01);
                    return changed;
                },
                {"a"}, true, 0},
        Arrival{"Missing_EndsAtTheNext", [](const QList<Frame> &s) { return QList<Frame>{s[0], s[2]}; }, {"a"}, true, 0},
        Arrival{"Reordered_ReplayThenGap", [](const QList<Frame> &s) { return QList<Frame>{s[1], s[0], s[2]}; }, {}, true, 0},
        Arrival{"RelabelledKind_Ends",
                [](const QList<Frame> &s) {
                    QList<Frame> changed = s;
                    changed[0].kind = QStringLiteral("sealed-jpeg");
                    return changed;
                },
                {}, true, 0},
        Arrival{"PlainInput_Ignored", [](const QList<Frame> &s) { return QList<Frame>{plainKey, s[0]}; }, {"a"}, false, 0},
        Arrival{"SwitchboardsClose_Taken", [](const QList<Frame> &s) { return QList<Frame>{s[0], switchboardClose}; },
                {"a", QString()}, false, 0}),
    [](const testing::TestParamInfo<Arrival> &info) { return std::string(info.param.name); });

TEST(SessionSeal, ReflectedFrame_FailsAtItsSender)
{
    Pair pair;
    const Frame own = arriving(pair.viewer.seal(encode(ViewerMessage{Text{QStringLiteral("a")}})));
    EXPECT_TRUE(pair.viewer.open({own}).failed);
}

} // namespace
