#include "SessionMessages.h"

#include <QJsonDocument>

#include <gtest/gtest.h>

namespace {

using SessionMessages::Frame;

QJsonObject parse(const char *json)
{
    return QJsonDocument::fromJson(json).object();
}

TEST(SessionMessages, JsonPayload_IsBase64OfCompactJson)
{
    const QJsonObject message{{"type", "input"}, {"kind", "down"}, {"x", 0.25}, {"button", 1}};
    const QByteArray payload = SessionMessages::encodeJsonPayload(message);

    const QByteArray json = QByteArray::fromBase64(payload);
    EXPECT_FALSE(json.contains(' '));
    EXPECT_FALSE(json.contains('\n'));
    EXPECT_EQ(QJsonDocument::fromJson(json).object(), message);

    // What one side pushes, the other side's poll decodes into the same message.
    const QJsonObject push = SessionMessages::pushBody("s1", "t1", "viewer", SessionMessages::kindJson, payload);
    EXPECT_EQ(push, (QJsonObject{{"sessionId", "s1"}, {"token", "t1"}, {"role", "viewer"}, {"kind", "json"},
                                 {"payload", QString::fromLatin1(payload)}}));
    const QJsonObject envelope{{"kind", push["kind"]}, {"payload", push["payload"]}};
    const QList<Frame> frames = SessionMessages::decodeFrames({{"frames", QJsonArray{envelope}}});
    ASSERT_EQ(frames.size(), 1);
    EXPECT_EQ(frames[0].message, message);
}

TEST(SessionMessages, PollBody_SinceIsInteger)
{
    const QJsonObject poll = SessionMessages::pollBody("s1", "t1", "host", 0);
    EXPECT_EQ(poll, (QJsonObject{{"sessionId", "s1"}, {"token", "t1"}, {"role", "host"}, {"since", 0}}));
    EXPECT_EQ(QJsonDocument(poll).toJson(QJsonDocument::Compact).count("\"since\":0"), 1);
}

// A poll answer and the frames it yields, as "kind:payload-text" with "+msg" when a json frame
// parsed as an object.
struct FramesCase
{
    const char *name;
    const char *answer;
    QStringList frames;
};

QStringList describe(const QList<Frame> &frames)
{
    QStringList out;
    for (const Frame &f : frames)
        out << f.kind + ":" + QString::fromUtf8(f.bytes) + (f.message ? "+msg" : "");
    return out;
}

class SessionMessagesFrames : public ::testing::TestWithParam<FramesCase>
{
};

TEST_P(SessionMessagesFrames, DecodeFrames_KeepsOnlySoundFrames)
{
    EXPECT_EQ(describe(SessionMessages::decodeFrames(parse(GetParam().answer))), GetParam().frames);
}

// Payloads: "eyJ0eXBlIjoiY2xvc2UifQ==" is {"type":"close"}, "WzFd" is [1], "e30=" is {}, "/9g=" is FF D8.
INSTANTIATE_TEST_SUITE_P(
    Answers, SessionMessagesFrames,
    ::testing::Values(
        FramesCase{"NoFrames", R"({"since":3})", {}},
        FramesCase{"FramesNotArray", R"({"frames":{"kind":"json","payload":"e30="}})", {}},
        FramesCase{"OneNonObjectDropsAll",
                   R"({"frames":[{"kind":"json","payload":"eyJ0eXBlIjoiY2xvc2UifQ=="},7,{"kind":"json","payload":"e30="}]})",
                   {}},
        FramesCase{"InOrder",
                   R"({"frames":[{"kind":"json","payload":"eyJ0eXBlIjoiY2xvc2UifQ=="},{"kind":"jpeg","payload":"YWJj"}]})",
                   {R"(json:{"type":"close"}+msg)", "jpeg:abc"}},
        FramesCase{"BadFramesSkippedNeighboursKept",
                   R"({"frames":[{"kind":"json","payload":"e30="},
                                 {"kind":"json","payload":"e30\n="},
                                 {"kind":"json","payload":"e3 0="},
                                 {"kind":"json"},
                                 {"kind":7,"payload":"e30="},
                                 {"kind":"json","payload":["e30="]},
                                 {"kind":"jpeg","payload":"YWJj","extra":true}]})",
                   {"json:{}+msg", "jpeg:abc"}},
        FramesCase{"JsonNotObjectKeptWithoutMessage",
                   R"({"frames":[{"kind":"json","payload":"WzFd"},{"kind":"json","payload":"bm90IGpzb24="}]})",
                   {"json:[1]", "json:not json"}},
        FramesCase{"UnknownKindPassedOn", R"({"frames":[{"kind":"png","payload":"YWJj"}]})", {"png:abc"}}),
    [](const auto &info) { return std::string(info.param.name); });

} // namespace
