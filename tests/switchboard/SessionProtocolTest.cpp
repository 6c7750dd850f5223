#include "SessionProtocol.h"
#include "SwitchboardRequests.h"

#include <QJsonArray>
#include <QJsonDocument>

#include <gtest/gtest.h>

#include <optional>
#include <variant>

namespace {

using namespace SessionProtocol;

QJsonObject parse(const QByteArray &json)
{
    return QJsonDocument::fromJson(json).object();
}

// A poll answer holding the one frame a push body carries, as the switchboard relays it.
QJsonObject answerRelaying(const QByteArray &pushBody)
{
    const QJsonObject pushed = parse(pushBody);
    return {{"frames", QJsonArray{QJsonObject{{"kind", pushed["kind"]}, {"payload", pushed["payload"]}}}}};
}

QJsonObject answerWith(const QString &kind, const QByteArray &base64)
{
    return {{"frames", QJsonArray{QJsonObject{{"kind", kind}, {"payload", QString::fromLatin1(base64)}}}}};
}

RemoteInput pointer(RemoteInput::Kind kind, double x, double y, std::int64_t button, std::int64_t clicks, double dx,
                    double dy, KeyModifiers modifiers = {})
{
    return {kind, x, y, button, clicks, dx, dy, modifiers};
}

constexpr KeyModifiers shiftControl{KeyModifier::Shift, KeyModifier::Control};
constexpr KeyModifiers allModifiers{KeyModifier::Meta, KeyModifier::Alt, KeyModifier::Control, KeyModifier::Shift};

using AnyMessage = std::variant<HostMessage, ViewerMessage>;

// --- Round trips -------------------------------------------------------------------------

struct RoundTripCase
{
    const char *name;
    AnyMessage message;

    friend void PrintTo(const RoundTripCase &row, std::ostream *out) { *out << row.name; }
};

class SessionProtocolRoundTrip : public ::testing::TestWithParam<RoundTripCase>
{
};

// Encoded, pushed, relayed and polled by the other side: the same message comes out.
TEST_P(SessionProtocolRoundTrip, PushThenPoll_GivesTheSameMessage)
{
    const SessionKeys keys{"s1", "t1"};
    if (const auto *fromHost = std::get_if<HostMessage>(&GetParam().message)) {
        const QByteArray body = SwitchboardRequests::toBytes({keys, Role::host, encode(*fromHost)});
        EXPECT_EQ(parse(body).value("role"), "host");
        EXPECT_EQ(decodeHostMessages(answerRelaying(body)), QList<HostMessage>{*fromHost});
    } else {
        const ViewerMessage &sent = std::get<ViewerMessage>(GetParam().message);
        const QByteArray body = SwitchboardRequests::toBytes({keys, Role::viewer, encode(sent)});
        EXPECT_EQ(parse(body).value("role"), "viewer");
        EXPECT_EQ(decodeViewerMessages(answerRelaying(body)), QList<ViewerMessage>{sent});
    }
}

INSTANTIATE_TEST_SUITE_P(
    Messages, SessionProtocolRoundTrip,
    ::testing::Values(
        RoundTripCase{"Hello", HostMessage{Hello{1512, 982, "macos", {}}}},
        RoundTripCase{"HelloWithFeatures", HostMessage{Hello{1440.5, 900, "windows", {"tiles", "modifiers"}}}},
        RoundTripCase{"Picture", HostMessage{Picture{QByteArray("\xff\xd8\xff\xe0\0jpeg\"\\", 11)}}},
        RoundTripCase{"TilesAtBothCorners", HostMessage{Tiles{QSize(1920, 1080), {Tile{QPoint(0, 0), QByteArray("\xff\xd8\0", 3)},
                                                                                    Tile{QPoint(1904, 1064), "jpeg"}}}}},
        RoundTripCase{"CursorPositionOnly", HostMessage{Cursor{0.25, 1.5, {}, {}}}},
        RoundTripCase{"CursorWithShape", HostMessage{Cursor{0, 0.75, QByteArray("\x89PNG\r\n\0", 7), QPoint(3, 9)}}},
        RoundTripCase{"InputRightDoubleDown", ViewerMessage{Input{pointer(RemoteInput::Kind::down, 0.25, 0.75, 1, 2, 0, 0)}}},
        RoundTripCase{"InputWheel", ViewerMessage{Input{pointer(RemoteInput::Kind::wheel, 1, 0, 0, 1, -3.5, -120)}}},
        RoundTripCase{"InputMove", ViewerMessage{Input{pointer(RemoteInput::Kind::move, 0.001, 0.999, 0, 1, 0, 0)}}},
        RoundTripCase{"InputUp", ViewerMessage{Input{pointer(RemoteInput::Kind::up, 0.5, 0.5, 0, 1, 0, 0)}}},
        RoundTripCase{"NamedKeyRelease", ViewerMessage{Key{"ArrowLeft", "", false}}},
        RoundTripCase{"PlainKeyPress", ViewerMessage{Key{"", "\u00e9", true}}},
        RoundTripCase{"ShortcutWithEveryModifier", ViewerMessage{Key{"", "c", true, allModifiers}}},
        RoundTripCase{"FurtherKeyReleaseWithShift", ViewerMessage{Key{"pagedown", "", false, {KeyModifier::Shift}}}},
        RoundTripCase{"ShiftControlClick",
                      ViewerMessage{Input{pointer(RemoteInput::Kind::down, 0.5, 0.5, 0, 1, 0, 0, shiftControl)}}},
        RoundTripCase{"TextWithEscapes", ViewerMessage{Text{"h\u00e9llo \"quoted\"\\\n\t"}}},
        RoundTripCase{"Close", ViewerMessage{Close{}}},
        RoundTripCase{"Caps", ViewerMessage{Caps{{"tiles", "modifiers"}}}},
        RoundTripCase{"CapsEmpty", ViewerMessage{Caps{}}}),
    [](const auto &info) { return std::string(info.param.name); });

// --- Today's bytes -------------------------------------------------------------------------

// Payloads as this program (and its peers) have always written them: an encoder and decoder
// changed together must still produce and accept exactly these.
struct PayloadSample
{
    const char *name;
    AnyMessage message;
    const char *base64;

    friend void PrintTo(const PayloadSample &row, std::ostream *out) { *out << row.name; }
};

class SessionProtocolPayload : public ::testing::TestWithParam<PayloadSample>
{
};

TEST_P(SessionProtocolPayload, EncodeAndDecode_MatchTodaysBytes)
{
    const PayloadSample &sample = GetParam();
    const QJsonObject answer = answerWith(kindJson, sample.base64);
    if (const auto *fromHost = std::get_if<HostMessage>(&sample.message)) {
        EXPECT_EQ(encode(*fromHost).base64, QByteArray(sample.base64));
        EXPECT_EQ(decodeHostMessages(answer), QList<HostMessage>{*fromHost});
    } else {
        const ViewerMessage &fromViewer = std::get<ViewerMessage>(sample.message);
        EXPECT_EQ(encode(fromViewer).base64, QByteArray(sample.base64));
        EXPECT_EQ(decodeViewerMessages(answer), QList<ViewerMessage>{fromViewer});
    }
}

INSTANTIATE_TEST_SUITE_P(
    Samples, SessionProtocolPayload,
    ::testing::Values(
        // {"height":982,"platform":"macos","type":"hello","width":1512}
        PayloadSample{"Hello", HostMessage{Hello{1512, 982, "macos", {}}},
                      "eyJoZWlnaHQiOjk4MiwicGxhdGZvcm0iOiJtYWNvcyIsInR5cGUiOiJoZWxsbyIsIndpZHRoIjoxNTEyfQ=="},
        // {"hotX":1,"hotY":2,"png":"iVBORw==","type":"cursor","x":0.5,"y":0.25}
        PayloadSample{"CursorWithShape", HostMessage{Cursor{0.5, 0.25, QByteArray("\x89PNG", 4), QPoint(1, 2)}},
                      "eyJob3RYIjoxLCJob3RZIjoyLCJwbmciOiJpVkJPUnc9PSIsInR5cGUiOiJjdXJzb3IiLCJ4IjowLjUsInkiOjAuMjV9"},
        // {"button":1,"clickCount":1,"deltaX":0,"deltaY":0,"kind":"down","type":"input","x":0.25,"y":0.75}
        PayloadSample{"InputRightDown", ViewerMessage{Input{pointer(RemoteInput::Kind::down, 0.25, 0.75, 1, 1, 0, 0)}},
                      "eyJidXR0b24iOjEsImNsaWNrQ291bnQiOjEsImRlbHRhWCI6MCwiZGVsdGFZIjowLCJraW5kIjoiZG93biIsInR5cGUiOiJpbnB1dC"
                      "IsIngiOjAuMjUsInkiOjAuNzV9"},
        // {"button":0,"clickCount":2,"deltaX":1.5,"deltaY":-120,"kind":"wheel","type":"input","x":0.5,"y":0.125}
        PayloadSample{"InputWheel", ViewerMessage{Input{pointer(RemoteInput::Kind::wheel, 0.5, 0.125, 0, 2, 1.5, -120)}},
                      "eyJidXR0b24iOjAsImNsaWNrQ291bnQiOjIsImRlbHRhWCI6MS41LCJkZWx0YVkiOi0xMjAsImtpbmQiOiJ3aGVlbCIsInR5cGUiOi"
                      "JpbnB1dCIsIngiOjAuNSwieSI6MC4xMjV9"},
        // {"type":"close"}
        PayloadSample{"Close", ViewerMessage{Close{}}, "eyJ0eXBlIjoiY2xvc2UifQ=="},
        // {"codeName":"enter","down":false,"key":"","type":"key"}: without modifiers, as always.
        PayloadSample{"KeyRelease", ViewerMessage{Key{"enter", "", false}},
                      "eyJjb2RlTmFtZSI6ImVudGVyIiwiZG93biI6ZmFsc2UsImtleSI6IiIsInR5cGUiOiJrZXkifQ=="},
        // {"key":"hi","type":"text"}
        PayloadSample{"Text", ViewerMessage{Text{"hi"}}, "eyJrZXkiOiJoaSIsInR5cGUiOiJ0ZXh0In0="},
        // {"codeName":"","down":true,"key":"c","modifiers":["control"],"type":"key"}
        PayloadSample{"ControlC", ViewerMessage{Key{"", "c", true, {KeyModifier::Control}}},
                      "eyJjb2RlTmFtZSI6IiIsImRvd24iOnRydWUsImtleSI6ImMiLCJtb2RpZmllcnMiOlsiY29udHJvbCJdLCJ0eXBlIjoia2V5In0="},
        // {"button":0,"clickCount":1,"deltaX":0,"deltaY":0,"kind":"down","modifiers":["shift","control"],
        //  "type":"input","x":0.5,"y":0.5}: modifiers always in the order shift, control, alt, meta.
        PayloadSample{"ShiftControlDown",
                      ViewerMessage{Input{pointer(RemoteInput::Kind::down, 0.5, 0.5, 0, 1, 0, 0, shiftControl)}},
                      "eyJidXR0b24iOjAsImNsaWNrQ291bnQiOjEsImRlbHRhWCI6MCwiZGVsdGFZIjowLCJraW5kIjoiZG93biIsIm1vZGlmaWVycyI6WyJzaGlmdCIsImNvbnRyb2wiXSwidHlwZSI6ImlucHV0IiwieCI6MC41LCJ5IjowLjV9"}),
    [](const auto &info) { return std::string(info.param.name); });

// --- Decoding what each side receives ----------------------------------------------------

struct ViewerMessageCase
{
    const char *name;
    const char *json;
    std::optional<ViewerMessage> decoded;

    friend void PrintTo(const ViewerMessageCase &row, std::ostream *out) { *out << row.name; }
};

class SessionProtocolViewerMessage : public ::testing::TestWithParam<ViewerMessageCase>
{
};

// A missing or mistyped member is never an error: it takes its default.
TEST_P(SessionProtocolViewerMessage, Decode_FillsDefaultsAndSkipsTheUnknown)
{
    EXPECT_EQ(decodeViewerMessage(parse(GetParam().json)), GetParam().decoded);
}

INSTANTIATE_TEST_SUITE_P(
    Messages, SessionProtocolViewerMessage,
    ::testing::Values(
        ViewerMessageCase{"BareInputIsMoveToTopLeft", R"({"type":"input"})", Input{}},
        ViewerMessageCase{"UnknownKindIsMove", R"({"type":"input","kind":"hover","x":0.5})",
                          Input{pointer(RemoteInput::Kind::move, 0.5, 0, 0, 1, 0, 0)}},
        ViewerMessageCase{"MistypedMembersDefault",
                          R"({"type":"input","kind":"down","x":"1","button":1.5,"clickCount":"2","deltaY":null})",
                          Input{pointer(RemoteInput::Kind::down, 0, 0, 0, 1, 0, 0)}},
        ViewerMessageCase{"KeyDefaults", R"({"type":"key"})", Key{"", "", true}},
        ViewerMessageCase{"KeyDownNotBoolean", R"({"type":"key","key":"a","down":"no"})", Key{"", "a", true}},
        ViewerMessageCase{"TextInKey", R"({"type":"text","key":"hi"})", Text{"hi"}},
        ViewerMessageCase{"TextUnderOtherMember", R"({"type":"text","text":"hi"})", std::nullopt},
        ViewerMessageCase{"CloseWithExtras", R"({"type":"close","reason":1})", Close{}},
        ViewerMessageCase{"CapsKeepsTextNamesOnce", R"({"type":"caps","features":["tiles",7,"modifiers","tiles"]})",
                          Caps{{"modifiers", "tiles"}}},
        ViewerMessageCase{"CapsWithoutArray", R"({"type":"caps","features":"tiles"})", Caps{}},
        ViewerMessageCase{"ModifiersKnownNamesOnlyAnyCase",
                          R"({"type":"key","key":"a","modifiers":["Control","hyper",3,"shift","shift"]})",
                          Key{"", "a", true, shiftControl}},
        ViewerMessageCase{"ModifiersNotAnArray", R"({"type":"input","kind":"up","modifiers":"control"})",
                          Input{pointer(RemoteInput::Kind::up, 0, 0, 0, 1, 0, 0)}},
        ViewerMessageCase{"UnknownType", R"({"type":"paste","key":"x"})", std::nullopt},
        ViewerMessageCase{"TypeNotText", R"({"type":7})", std::nullopt},
        ViewerMessageCase{"NoType", R"({"kind":"down"})", std::nullopt}),
    [](const auto &info) { return std::string(info.param.name); });

struct HostMessagesCase
{
    const char *name;
    const char *answer;
    QList<HostMessage> decoded;

    friend void PrintTo(const HostMessagesCase &row, std::ostream *out) { *out << row.name; }
};

class SessionProtocolHostMessages : public ::testing::TestWithParam<HostMessagesCase>
{
};

TEST_P(SessionProtocolHostMessages, Decode_KeepsPicturesAndSizes)
{
    EXPECT_EQ(decodeHostMessages(parse(GetParam().answer)), GetParam().decoded);
}

// Payloads: {"width":800,"height":600}; {"type":"hello","width":1,"height":2,"platform":"windows",
// "features":["tiles",1]}; {"width":"1920","height":"1080"}; {"width":1920}; {"type":"close"}; [1].
INSTANTIATE_TEST_SUITE_P(
    Answers, SessionProtocolHostMessages,
    ::testing::Values(
        HostMessagesCase{"SizeWithoutTypeIsHello", R"({"frames":[{"kind":"json","payload":"eyJ3aWR0aCI6ODAwLCJoZWlnaHQiOjYwMH0="}]})",
                         {Hello{800, 600, "", {}}}},
        HostMessagesCase{"HelloWithFeatures",
                         R"({"frames":[{"kind":"json","payload":"eyJ0eXBlIjoiaGVsbG8iLCJ3aWR0aCI6MSwiaGVpZ2h0IjoyLCJwbGF0Zm9ybSI6IndpbmRvd3MiLCJmZWF0dXJlcyI6WyJ0aWxlcyIsMV19"}]})",
                         {Hello{1, 2, "windows", {"tiles"}}}},
        HostMessagesCase{"PicturesInOrderWhateverTheirBytes",
                         R"({"frames":[{"kind":"jpeg","payload":"YWJj"},{"kind":"jpeg","payload":"/9j/"}]})",
                         {Picture{"abc"}, Picture{"\xff\xd8\xff"}}},
        HostMessagesCase{"SkipsWhatTheViewerDoesNotRead",
                         R"({"frames":[{"kind":"json","payload":"eyJ3aWR0aCI6IjE5MjAiLCJoZWlnaHQiOiIxMDgwIn0="},
                                       {"kind":"json","payload":"eyJ3aWR0aCI6MTkyMH0="},
                                       {"kind":"json","payload":"eyJ0eXBlIjoiY2xvc2UifQ=="},
                                       {"kind":"json","payload":"WzFd"},
                                       {"kind":"png","payload":"YWJj"},
                                       {"kind":"jpeg","payload":"YWJj"}]})",
                         {Picture{"abc"}}}),
    [](const auto &info) { return std::string(info.param.name); });

// Tiles payloads as hex: picture width and height, then per tile x, y, length and the bytes.
struct TilesBytesCase
{
    const char *name;
    const char *hex;
    std::optional<Tiles> decoded;

    friend void PrintTo(const TilesBytesCase &row, std::ostream *out) { *out << row.name; }
};

class SessionProtocolTilesBytes : public ::testing::TestWithParam<TilesBytesCase>
{
};

// The layout read big-endian and to the byte: anything short, long, empty or off the picture is
// dropped whole, so a viewer never paints part of a change.
TEST_P(SessionProtocolTilesBytes, Decode_TakesOnlyTheExactLayout)
{
    const QByteArray bytes = QByteArray::fromHex(GetParam().hex);
    const QList<HostMessage> decoded = decodeHostMessages(answerWith(kindTiles, bytes.toBase64()));
    if (GetParam().decoded)
        EXPECT_EQ(decoded, QList<HostMessage>{*GetParam().decoded});
    else
        EXPECT_TRUE(decoded.isEmpty());
}

INSTANTIATE_TEST_SUITE_P(
    Payloads, SessionProtocolTilesBytes,
    ::testing::Values(
        TilesBytesCase{"OneTile", "07800438" "00100020" "00000003" "616263",
                       Tiles{QSize(1920, 1080), {Tile{QPoint(16, 32), "abc"}}}},
        TilesBytesCase{"TwoTilesInOrder", "00200010" "00000000" "00000001" "61" "0010000f" "00000002" "6263",
                       Tiles{QSize(32, 16), {Tile{QPoint(0, 0), "a"}, Tile{QPoint(16, 15), "bc"}}}},
        TilesBytesCase{"JpegCutShort", "07800438" "00100020" "00000004" "616263", std::nullopt},
        TilesBytesCase{"PartOfASecondHeader", "07800438" "00100020" "00000001" "61" "0000", std::nullopt},
        TilesBytesCase{"NoTiles", "07800438", std::nullopt},
        TilesBytesCase{"HeaderCutShort", "0780", std::nullopt},
        TilesBytesCase{"EmptyPicture", "00000438" "00000000" "00000001" "61", std::nullopt},
        TilesBytesCase{"EmptyTile", "07800438" "00000000" "00000000", std::nullopt},
        TilesBytesCase{"StartsRightOfThePicture", "00200010" "00200000" "00000001" "61", std::nullopt},
        TilesBytesCase{"StartsBelowThePicture", "00200010" "00000010" "00000001" "61", std::nullopt},
        TilesBytesCase{"LengthBeyondAnyPayload", "00200010" "00000000" "ffffffff" "61", std::nullopt}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(SessionProtocol, ViewerMessages_OnlyJsonFramesReachTheHost)
{
    // A picture pushed to the host, then a close: only the close counts.
    const QJsonObject answer{{"frames", QJsonArray{QJsonObject{{"kind", "jpeg"}, {"payload", "eyJ0eXBlIjoiY2xvc2UifQ=="}},
                                                   QJsonObject{{"kind", "json"}, {"payload", "eyJ0eXBlIjoiY2xvc2UifQ=="}}}}};
    EXPECT_EQ(decodeViewerMessages(answer), QList<ViewerMessage>{Close{}});
}

TEST(SessionFeatures, Names_SortedOnceAndFoundByName)
{
    const SessionFeatures features{"tiles", "modifiers", "tiles"};
    EXPECT_EQ(features.names(), (QStringList{"modifiers", "tiles"}));
    EXPECT_TRUE(features.contains(u"tiles"));
    EXPECT_FALSE(features.contains(u"Tiles"));
    EXPECT_FALSE(SessionFeatures{}.contains(u"tiles"));
    EXPECT_EQ(SessionFeatures::fromJson(features.toJson()), features);
    EXPECT_TRUE(SessionFeatures::fromJson(QJsonValue("tiles")).isEmpty());
}

struct SplitCase
{
    const char *name;
    QString text;
    qsizetype limit;
    QStringList pieces;

    friend void PrintTo(const SplitCase &row, std::ostream *out) { *out << row.name; }
};

class SessionProtocolSplitText : public ::testing::TestWithParam<SplitCase>
{
};

TEST_P(SessionProtocolSplitText, Pieces_HoldAtMostTheLimitInCharacters)
{
    EXPECT_EQ(splitText(GetParam().text, GetParam().limit), GetParam().pieces);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, SessionProtocolSplitText,
    ::testing::Values(SplitCase{"Empty", "", 3, {}}, SplitCase{"WithinTheLimit", "abc", 3, {"abc"}},
                      SplitCase{"Longer", "abcdefg", 3, {"abc", "def", "g"}},
                      // Two emoji are four UTF-16 units but two characters: one piece, never half of one.
                      SplitCase{"SurrogatePairsWhole", "\U0001F600\U0001F601x", 2, {"\U0001F600\U0001F601", "x"}},
                      SplitCase{"LimitBelowOneIsOne", "ab", 0, {"a", "b"}}),
    [](const auto &info) { return std::string(info.param.name); });

// --- Frames ----------------------------------------------------------------------------

TEST(SessionProtocol, JsonPayload_IsBase64OfCompactJson)
{
    const ViewerMessage message = Input{pointer(RemoteInput::Kind::down, 0.25, 0, 1, 1, 0, 0)};
    const Envelope envelope = encode(message);
    EXPECT_EQ(envelope.kind, kindJson);

    const QByteArray json = QByteArray::fromBase64(envelope.base64);
    EXPECT_FALSE(json.contains(' '));
    EXPECT_FALSE(json.contains('\n'));
    EXPECT_EQ(QJsonDocument::fromJson(json).object(), toJson(message));
}

// A poll answer and the frames it yields, as "kind:payload-text" with "+msg" when a json frame
// parsed as an object.
struct FramesCase
{
    const char *name;
    const char *answer;
    QStringList frames;

    friend void PrintTo(const FramesCase &row, std::ostream *out) { *out << row.name; }
};

QStringList describe(const QList<Frame> &frames)
{
    QStringList out;
    for (const Frame &f : frames)
        out << f.kind + ":" + QString::fromUtf8(f.bytes) + (f.message ? "+msg" : "");
    return out;
}

class SessionProtocolFrames : public ::testing::TestWithParam<FramesCase>
{
};

TEST_P(SessionProtocolFrames, DecodeFrames_KeepsOnlySoundFrames)
{
    EXPECT_EQ(describe(decodeFrames(parse(GetParam().answer))), GetParam().frames);
}

// Payloads: "eyJ0eXBlIjoiY2xvc2UifQ==" is {"type":"close"}, "WzFd" is [1], "e30=" is {}, "/9g=" is FF D8.
INSTANTIATE_TEST_SUITE_P(
    Answers, SessionProtocolFrames,
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
