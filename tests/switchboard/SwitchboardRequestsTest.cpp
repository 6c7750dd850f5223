// Every request this program sends, byte for byte with its path, and what it reads of every
// answer.
#include "SwitchboardRequests.h"

#include <QJsonDocument>

#include <gtest/gtest.h>

#include <functional>
#include <limits>

namespace {

using namespace SwitchboardRequests;
using SessionProtocol::Envelope;
using SessionProtocol::HostMessage;
using SessionProtocol::Hello;

QJsonObject parse(const QByteArray &json)
{
    return QJsonDocument::fromJson(json).object();
}

template<typename Request>
QByteArray compact(const Request &request)
{
    return QJsonDocument(toJson(request)).toJson(QJsonDocument::Compact);
}

const SessionKeys keys{"s1", "t1"};
const QByteArray nonce(64, 'a');

struct BodyCase
{
    const char *name;
    const char *expectedPath;
    std::function<QString()> path;
    std::function<QByteArray()> bytes;
    const char *expected;

    friend void PrintTo(const BodyCase &row, std::ostream *out) { *out << row.name; }
};

class SwitchboardRequestsBody : public ::testing::TestWithParam<BodyCase>
{
};

// Qt writes the members of a JSON body in name order; a push body has its session members ahead
// of its payload.
TEST_P(SwitchboardRequestsBody, Request_WrittenAsAlways)
{
    EXPECT_EQ(GetParam().path(), QLatin1String(GetParam().expectedPath));
    EXPECT_EQ(GetParam().bytes(), QByteArray(GetParam().expected));
}

template<typename Request>
BodyCase row(const char *name, const char *path, Request request, const char *expected)
{
    return {name, path, [request] { return pathOf(request); },
            [request] {
                if constexpr (std::is_same_v<Request, Push>)
                    return toBytes(request);
                else
                    return compact(request);
            },
            expected};
}

INSTANTIATE_TEST_SUITE_P(
    Requests, SwitchboardRequestsBody,
    ::testing::Values(
        row("Prove", "prove", Prove{nonce},
            R"({"nonce":"aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa"})"),
        row("Register", "register", Register{"123456789", "Studio Mac", "macos", "ABCD-EFGH", "h1", true},
            R"({"hostToken":"h1","id":"123456789","name":"Studio Mac","password":"ABCD-EFGH","platform":"macos","unattended":true})"),
        // Offering encrypted sessions keeps the password for today's viewers; taking only those leaves it out.
        row("RegisterOfferingEncryption", "register", Register{"123456789", "Studio Mac", "macos", "ABCD-EFGH", "h1", true, true},
            R"({"features":["e2e"],"hostToken":"h1","id":"123456789","name":"Studio Mac","password":"ABCD-EFGH","platform":"macos","unattended":true})"),
        row("RegisterEncryptedOnly", "register", Register{"123456789", "Studio Mac", "macos", "ABCD-EFGH", "h1", true, true, true},
            R"({"features":["e2e","e2e-only"],"hostToken":"h1","id":"123456789","name":"Studio Mac","platform":"macos","unattended":true})"),
        row("RegisterAskingFirst", "register", Register{"123456789", "Studio Mac", "macos", "ABCD-EFGH", "h1", false},
            R"({"hostToken":"h1","id":"123456789","name":"Studio Mac","password":"ABCD-EFGH","platform":"macos","unattended":false})"),
        row("LockoutRead", "lockout", Lockout{"123456789", "h1"}, R"({"hostToken":"h1","id":"123456789"})"),
        row("LockoutCollectAndLift", "lockout", Lockout{"123456789", "h1", true, true},
            R"({"collect":true,"hostToken":"h1","id":"123456789","lift":true})"),
        row("Heartbeat", "heartbeat", Heartbeat{"123456789", "h1"}, R"({"hostToken":"h1","id":"123456789"})"),
        row("Origin", "origin", Origin{"https://calm-sea.trycloudflare.com", "123456789", "h1"},
            R"({"hostToken":"h1","id":"123456789","origin":"https://calm-sea.trycloudflare.com"})"),
        row("Lookup", "lookup", Lookup{"123456789"}, R"({"id":"123456789"})"),
        row("ConnectWithoutDeviceToken", "connect", Connect{"123456789", "ABCD-EFGH", "Alice", "macos", {}},
            R"({"clientName":"Alice","clientPlatform":"macos","id":"123456789","password":"ABCD-EFGH"})"),
        row("ConnectWithDeviceToken", "connect", Connect{"123456789", "ABCD-EFGH", "Alice", "macos", "d1"},
            R"({"clientName":"Alice","clientPlatform":"macos","deviceToken":"d1","id":"123456789","password":"ABCD-EFGH"})"),
        // Encrypted: no password leaves.
        row("ConnectEncrypted", "connect", Connect{"123456789", "ABCD-EFGH", "Alice", "macos", {}, true},
            R"({"clientName":"Alice","clientPlatform":"macos","features":["e2e"],"id":"123456789"})"),
        row("Confirm", "confirm", Confirm{"123456789", "h1", "s1"}, R"({"hostToken":"h1","id":"123456789","sessionId":"s1"})"),
        // The one request naming the session's token "sessionToken".
        row("Claim", "claim", Claim{keys}, R"({"sessionId":"s1","sessionToken":"t1"})"),
        row("HostPoll", "poll", Poll{keys, Role::host, 0}, R"({"role":"host","sessionId":"s1","since":0,"token":"t1"})"),
        row("ViewerPollWithALargeCursor", "poll", Poll{keys, Role::viewer, 9007199254740993},
            R"({"role":"viewer","sessionId":"s1","since":9007199254740993,"token":"t1"})"),
        // Held: "waitMs" only when a hold is asked for.
        row("ViewerHeldPoll", "poll", Poll{keys, Role::viewer, 3, 25000},
            R"({"role":"viewer","sessionId":"s1","since":3,"token":"t1","waitMs":25000})"),
        row("ViewerClose", "close", Close{keys, {}}, R"({"sessionId":"s1","token":"t1"})"),
        row("HostCloseWithReason", "close", Close{keys, "Screen sharing was not allowed on that computer"},
            R"({"reason":"Screen sharing was not allowed on that computer","sessionId":"s1","token":"t1"})"),
        row("HostHelloPush", "push", Push{keys, Role::host, SessionProtocol::encode(HostMessage{Hello{1512, 982, "macos", {}}})},
            R"({"kind":"json","role":"host","sessionId":"s1","token":"t1","payload":"eyJoZWlnaHQiOjk4MiwicGxhdGZvcm0iOiJtYWNvcyIsInR5cGUiOiJoZWxsbyIsIndpZHRoIjoxNTEyfQ=="})"),
        row("ViewerInputPush", "push",
            Push{keys, Role::viewer,
                 SessionProtocol::encode(SessionProtocol::ViewerMessage{SessionProtocol::Input{{RemoteInput::Kind::down, 0.25, 0.75, 1, 1, 0, 0, {}}}})},
            R"({"kind":"json","role":"viewer","sessionId":"s1","token":"t1","payload":"eyJidXR0b24iOjEsImNsaWNrQ291bnQiOjEsImRlbHRhWCI6MCwiZGVsdGFZIjowLCJraW5kIjoiZG93biIsInR5cGUiOiJpbnB1dCIsIngiOjAuMjUsInkiOjAuNzV9"})"),
        row("HostPicturePush", "push", Push{keys, Role::host, SessionProtocol::encode(HostMessage{SessionProtocol::Picture{"\xff\xd8\xff"}})},
            R"({"kind":"jpeg","role":"host","sessionId":"s1","token":"t1","payload":"/9j/"})"),
        // Paced: "waitMs" after the payload, only when a hold is asked for.
        row("HostPacedPicturePush", "push",
            Push{keys, Role::host, SessionProtocol::encode(HostMessage{SessionProtocol::Picture{"\xff\xd8\xff"}}), 25000},
            R"({"kind":"jpeg","role":"host","sessionId":"s1","token":"t1","payload":"/9j/","waitMs":25000})")),
    [](const auto &info) { return std::string(info.param.name); });

TEST(SwitchboardRequests, PushBody_EscapesSessionMembersAndReusesTheBuffer)
{
    const SessionKeys odd{"s\"1\\\u00e9", "t\n\u0001"};
    QByteArray buffer;
    buffer.reserve(64 * 1024);
    const char *memory = buffer.constData();

    const QByteArray body =
        toBytes({odd, Role::viewer, SessionProtocol::encode(SessionProtocol::ViewerMessage{SessionProtocol::Close{}})},
                std::move(buffer));

    EXPECT_EQ(body.constData(), memory);
    EXPECT_FALSE(body.contains('\n'));
    EXPECT_EQ(parse(body), (QJsonObject{{"sessionId", odd.id}, {"token", odd.token}, {"role", "viewer"}, {"kind", "json"},
                                        {"payload", "eyJ0eXBlIjoiY2xvc2UifQ=="}}));
}

// --- Answers --------------------------------------------------------------------------

// Only a paced push's answer that says so counts as not taken; any other answer says nothing.
TEST(SwitchboardRequests, PushAnswer_NotTakenOnlyWhenItSaysSo)
{
    EXPECT_TRUE(pushTaken(parse(R"({"ok":true,"taken":true})")));
    EXPECT_FALSE(pushTaken(parse(R"({"ok":true,"taken":false})")));
    EXPECT_TRUE(pushTaken(parse(R"({"ok":true})")));
    EXPECT_TRUE(pushTaken(parse(R"({"ok":true,"taken":0})")));
}

struct HeartbeatCase
{
    const char *name;
    const char *answer;
    std::optional<QString> origin;
    std::optional<PendingSession> pending;

    friend void PrintTo(const HeartbeatCase &row, std::ostream *out) { *out << row.name; }
};

class SwitchboardRequestsHeartbeat : public ::testing::TestWithParam<HeartbeatCase>
{
};

TEST_P(SwitchboardRequestsHeartbeat, Answer_ReadsOriginAndTheViewerWaiting)
{
    const HeartbeatAnswer read = HeartbeatAnswer::fromJson(parse(GetParam().answer));
    EXPECT_EQ(read.origin, GetParam().origin);
    EXPECT_EQ(read.pending, GetParam().pending);
}

INSTANTIATE_TEST_SUITE_P(
    Answers, SwitchboardRequestsHeartbeat,
    ::testing::Values(
        HeartbeatCase{"Nothing", R"({"ok":true})", std::nullopt, std::nullopt},
        HeartbeatCase{"OriginAndNamedViewer",
                      R"({"ok":true,"origin":"https://a.example","pending":{"sessionId":"s1","sessionToken":"t1","clientName":"Alice"}})",
                      QStringLiteral("https://a.example"), PendingSession{{"s1", "t1"}, QStringLiteral("Alice")}},
        HeartbeatCase{"ViewerWithoutName", R"({"pending":{"sessionId":"s1","sessionToken":"t1"}})", std::nullopt,
                      PendingSession{{"s1", "t1"}, std::nullopt}},
        HeartbeatCase{"NameNotText", R"({"pending":{"sessionId":"s1","sessionToken":"t1","clientName":7}})", std::nullopt,
                      PendingSession{{"s1", "t1"}, std::nullopt}},
        HeartbeatCase{"EncryptedViewer", R"({"pending":{"sessionId":"s1","sessionToken":"t1","e2e":true}})", std::nullopt,
                      PendingSession{{"s1", "t1"}, std::nullopt, std::nullopt, std::nullopt, true}},
        HeartbeatCase{"EncryptedNotABoolean", R"({"pending":{"sessionId":"s1","sessionToken":"t1","e2e":"yes"}})", std::nullopt,
                      PendingSession{{"s1", "t1"}, std::nullopt, std::nullopt, std::nullopt, false}},
        HeartbeatCase{"ViewerPlatformAndAddress",
                      R"({"pending":{"sessionId":"s1","sessionToken":"t1","clientPlatform":"web","clientAddress":"203.0.113.9"}})",
                      std::nullopt,
                      PendingSession{{"s1", "t1"}, std::nullopt, QStringLiteral("web"), QStringLiteral("203.0.113.9")}},
        HeartbeatCase{"PlatformAndAddressNotText",
                      R"({"pending":{"sessionId":"s1","sessionToken":"t1","clientPlatform":1,"clientAddress":[]}})",
                      std::nullopt, PendingSession{{"s1", "t1"}, std::nullopt}},
        HeartbeatCase{"NumericSessionId", R"({"pending":{"sessionId":42,"sessionToken":"t1"}})", std::nullopt, std::nullopt},
        HeartbeatCase{"NoToken", R"({"pending":{"sessionId":"s1"}})", std::nullopt, std::nullopt},
        HeartbeatCase{"PendingNotAnObject", R"({"pending":"s1","origin":7})", std::nullopt, std::nullopt}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(SwitchboardRequests, Answers_MissingOrMistypedMembersTakeTheirDefaults)
{
    const LookupAnswer lookup = LookupAnswer::fromJson(parse(R"({"found":true,"online":"yes","name":"Studio"})"));
    EXPECT_TRUE(lookup.found);
    EXPECT_FALSE(lookup.online);
    EXPECT_EQ(lookup.name, QStringLiteral("Studio"));
    EXPECT_EQ(LookupAnswer::fromJson(parse(R"({"found":true,"name":3})")).name, std::nullopt);
    EXPECT_FALSE(lookup.encrypted);
    EXPECT_TRUE(LookupAnswer::fromJson(parse(R"({"found":true,"features":["later","e2e"]})")).encrypted);
    EXPECT_FALSE(LookupAnswer::fromJson(parse(R"({"found":true,"features":"e2e"})")).encrypted);

    const ConnectAnswer opened =
        ConnectAnswer::fromJson(parse(R"({"sessionId":"s1","sessionToken":"t1","transport":"p2p","deviceToken":"d1"})"));
    EXPECT_EQ(opened.keys, (SessionKeys{"s1", "t1"}));
    EXPECT_EQ(opened.transport, Transport::p2p);
    EXPECT_EQ(opened.deviceToken, QStringLiteral("d1"));
    const ConnectAnswer bare = ConnectAnswer::fromJson(parse(R"({"sessionId":"s1","transport":"carrier pigeon"})"));
    EXPECT_EQ(bare.keys, (SessionKeys{"s1", ""}));
    EXPECT_EQ(bare.transport, std::nullopt);
    EXPECT_EQ(bare.deviceToken, QString());
    // Only a switchboard that says "unattended":false makes the viewer wait for the person there.
    EXPECT_TRUE(bare.unattended);
    EXPECT_TRUE(ConnectAnswer::fromJson(parse(R"({"unattended":"no"})")).unattended);
    EXPECT_FALSE(ConnectAnswer::fromJson(parse(R"({"unattended":false})")).unattended);

    const LockoutAnswer lockout = LockoutAnswer::fromJson(parse(
        R"({"locked":true,"waitMs":240000,"wrongGuesses":31,"attempts":[)"
        R"({"at":1700000000000,"outcome":"wrong-password","clientName":"Pixel","clientAddress":"203.0.113.9"},)"
        R"({"at":"now","outcome":"locked-out"},{"at":1700000000001},7,)"
        R"({"at":1700000000002,"outcome":"locked-out","clientPlatform":"web"}]})"));
    EXPECT_TRUE(lockout.locked);
    EXPECT_EQ(lockout.waitMs, 240000);
    EXPECT_EQ(lockout.wrongGuesses, 31);
    EXPECT_EQ(lockout.attempts,
              (QList<FailedAttempt>{{1700000000000, "wrong-password", QStringLiteral("Pixel"), std::nullopt,
                                     QStringLiteral("203.0.113.9")},
                                    {1700000000002, "locked-out", std::nullopt, QStringLiteral("web"), std::nullopt}}));
    EXPECT_TRUE(LockoutAnswer::fromJson(parse(R"({"attempts":{}})")).attempts.isEmpty());

    EXPECT_EQ(ProveAnswer::fromJson(parse(R"({"proof":"ab"})")).proof, QStringLiteral("ab"));
    EXPECT_EQ(ProveAnswer::fromJson(parse(R"({"proof":1})")).proof, std::nullopt);
    EXPECT_EQ(pollCursor(parse(R"({"since":12,"frames":[]})")), 12);
    EXPECT_EQ(pollCursor(parse(R"({"frames":[]})")), std::nullopt);
}

// A hold is announced only by a whole number of milliseconds above 0; a quiet time only by a
// number not below 0.
TEST(SwitchboardRequests, Answers_HoldAnnouncementAndQuietTime)
{
    const auto maxWait = [](const char *value) {
        return ConnectAnswer::fromJson(parse(QByteArray(R"({"sessionId":"s1","maxWaitMs":)") + value + "}")).maxWaitMs;
    };
    EXPECT_EQ(maxWait("25000"), 25000);
    EXPECT_EQ(maxWait("1"), 1);
    EXPECT_EQ(maxWait("0"), std::nullopt);
    EXPECT_EQ(maxWait("-25000"), std::nullopt);
    EXPECT_EQ(maxWait("2500.5"), std::nullopt);
    EXPECT_EQ(maxWait(R"("25000")"), std::nullopt);
    EXPECT_EQ(maxWait("null"), std::nullopt);
    EXPECT_EQ(ConnectAnswer::fromJson(parse(R"({"sessionId":"s1"})")).maxWaitMs, std::nullopt);
    // The claim's answer announces it the same way; an old switchboard's {"ok":true} does not.
    EXPECT_EQ(ClaimAnswer::fromJson(parse(R"({"ok":true,"maxWaitMs":25000})")).maxWaitMs, 25000);
    EXPECT_EQ(ClaimAnswer::fromJson(parse(R"({"ok":true,"maxWaitMs":0.5})")).maxWaitMs, std::nullopt);
    EXPECT_EQ(ClaimAnswer::fromJson(parse(R"({"ok":true})")).maxWaitMs, std::nullopt);

    EXPECT_EQ(peerQuietMs(parse(R"({"frames":[],"since":3,"peerQuietMs":4001})")), 4001);
    EXPECT_EQ(peerQuietMs(parse(R"({"frames":[],"since":3,"peerQuietMs":0})")), 0);
    EXPECT_EQ(peerQuietMs(parse(R"({"frames":[],"since":3})")), std::nullopt);
    EXPECT_EQ(peerQuietMs(parse(R"({"peerQuietMs":-1})")), std::nullopt);
    EXPECT_EQ(peerQuietMs(parse(R"({"peerQuietMs":"5000"})")), std::nullopt);
}

} // namespace
