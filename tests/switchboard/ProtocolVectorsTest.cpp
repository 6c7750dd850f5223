// SessionProtocol and SwitchboardRequests against the protocol vectors the switchboard's and the
// page's tests read too: every example decodes to its meaning, and where this program is named its
// writer, encoding the meaning gives the example's bytes exactly.
#include "Base64.h"
#include "ProtocolVectors.h"
#include "SessionProtocol.h"
#include "SwitchboardRequests.h"
#include "Transport.h"

#include <QJsonArray>
#include <QJsonDocument>

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <utility>
#include <vector>

namespace {

using namespace SessionProtocol;

struct Row
{
    std::string name;
    QJsonObject example;

    friend void PrintTo(const Row &row, std::ostream *out) { *out << row.name; }
};

std::vector<Row> rows(const char *section, const std::function<bool(const QJsonObject &)> &wanted = {})
{
    std::vector<Row> out;
    for (const QJsonValue &value : ProtocolVectors::section(section)) {
        const QJsonObject example = value.toObject();
        if (!wanted || wanted(example))
            out.push_back({ProtocolVectors::rowName(example), example});
    }
    return out;
}

const auto rowName = [](const auto &info) { return info.param.name; };

QString text(const QJsonObject &object, const char *key)
{
    return object.value(QLatin1String(key)).toString();
}

QByteArray bytesOf(const QJsonValue &base64)
{
    return Base64::decodeStrict(QStringView(base64.toString())).value_or(QByteArray());
}

KeyModifiers modifiersOf(const QJsonObject &meaning)
{
    return KeyModifiers::fromNames(meaning.value(QLatin1String("modifiers")).toVariant().toStringList());
}

// The message a meaning names, as this program's types; nothing for a message that is skipped.
std::optional<HostMessage> hostMessageOf(const QJsonValue &value)
{
    const QJsonObject meaning = value.toObject();
    const QString message = text(meaning, "message");
    if (message == QLatin1String("hello")) {
        return Hello{meaning.value(QLatin1String("width")).toDouble(), meaning.value(QLatin1String("height")).toDouble(),
                     text(meaning, "platform"), SessionFeatures::fromJson(meaning.value(QLatin1String("features")))};
    }
    if (message == QLatin1String("picture"))
        return Picture{bytesOf(meaning.value(QLatin1String("jpeg")))};
    if (message == QLatin1String("tiles")) {
        Tiles tiles{QSize(meaning.value(QLatin1String("width")).toInt(), meaning.value(QLatin1String("height")).toInt()), {}};
        for (const QJsonValue &tile : meaning.value(QLatin1String("tiles")).toArray()) {
            const QJsonObject area = tile.toObject();
            tiles.tiles.append(Tile{QPoint(area.value(QLatin1String("x")).toInt(), area.value(QLatin1String("y")).toInt()),
                                    bytesOf(area.value(QLatin1String("jpeg")))});
        }
        return tiles;
    }
    return std::nullopt;
}

std::optional<ViewerMessage> viewerMessageOf(const QJsonValue &value)
{
    const QJsonObject meaning = value.toObject();
    const QString message = text(meaning, "message");
    if (message == QLatin1String("input")) {
        RemoteInput event;
        event.kind = remoteInputKindFromRaw(text(meaning, "kind")).value_or(RemoteInput::Kind::move);
        event.x = meaning.value(QLatin1String("x")).toDouble();
        event.y = meaning.value(QLatin1String("y")).toDouble();
        event.button = meaning.value(QLatin1String("button")).toInteger();
        event.clickCount = meaning.value(QLatin1String("clickCount")).toInteger();
        event.deltaX = meaning.value(QLatin1String("deltaX")).toDouble();
        event.deltaY = meaning.value(QLatin1String("deltaY")).toDouble();
        event.modifiers = modifiersOf(meaning);
        return Input{event};
    }
    if (message == QLatin1String("key")) {
        return Key{text(meaning, "codeName"), text(meaning, "key"), meaning.value(QLatin1String("down")).toBool(),
                   modifiersOf(meaning)};
    }
    if (message == QLatin1String("text"))
        return Text{text(meaning, "text")};
    if (message == QLatin1String("close"))
        return Close{};
    if (message == QLatin1String("caps"))
        return Caps{SessionFeatures::fromJson(meaning.value(QLatin1String("features")))};
    return std::nullopt;
}

template<typename Message>
QList<Message> messagesOf(const QJsonArray &meanings, std::optional<Message> (*of)(const QJsonValue &))
{
    QList<Message> messages;
    for (const QJsonValue &meaning : meanings) {
        if (std::optional<Message> message = of(meaning))
            messages.append(*message);
    }
    return messages;
}

QJsonObject parse(const QString &json)
{
    return QJsonDocument::fromJson(json.toUtf8()).object();
}

bool fromHost(const QJsonObject &example)
{
    return text(example, "from") == QLatin1String("host");
}

// --- Messages --------------------------------------------------------------------------------

class ProtocolVectorsMessage : public ::testing::TestWithParam<Row>
{
};

// Relayed in a poll answer, the frame gives its meaning, or nothing where the receiver skips it.
TEST_P(ProtocolVectorsMessage, Decoded_GivesItsMeaning)
{
    const QJsonObject &example = GetParam().example;
    if (example.contains(QLatin1String("json")))
        EXPECT_EQ(bytesOf(example.value(QLatin1String("payload"))), text(example, "json").toUtf8());
    const QJsonObject answer{
        {QStringLiteral("frames"), QJsonArray{QJsonObject{{QStringLiteral("kind"), example.value(QLatin1String("kind"))},
                                                          {QStringLiteral("payload"), example.value(QLatin1String("payload"))}}}}};
    const QJsonArray meaning = example.value(QLatin1String("meaning")).isNull() ? QJsonArray()
                                                                                : QJsonArray{example.value(QLatin1String("meaning"))};
    if (fromHost(example))
        EXPECT_EQ(decodeHostMessages(answer), messagesOf<HostMessage>(meaning, hostMessageOf));
    else
        EXPECT_EQ(decodeViewerMessages(answer), messagesOf<ViewerMessage>(meaning, viewerMessageOf));
}

INSTANTIATE_TEST_SUITE_P(Vectors, ProtocolVectorsMessage, ::testing::ValuesIn(rows("messages")), rowName);

class ProtocolVectorsWrittenMessage : public ::testing::TestWithParam<Row>
{
};

TEST_P(ProtocolVectorsWrittenMessage, Encoded_GivesTheBytesExactly)
{
    const QJsonObject &example = GetParam().example;
    const QJsonValue meaning = example.value(QLatin1String("meaning"));
    std::optional<Envelope> frame;
    if (fromHost(example)) {
        if (const std::optional<HostMessage> message = hostMessageOf(meaning))
            frame = encode(*message);
    } else if (const std::optional<ViewerMessage> message = viewerMessageOf(meaning)) {
        frame = encode(*message);
    }
    ASSERT_TRUE(frame) << "no message means " << QJsonDocument(meaning.toObject()).toJson().toStdString();
    EXPECT_EQ(frame->kind, text(example, "kind"));
    EXPECT_EQ(frame->base64, text(example, "payload").toLatin1());
}

INSTANTIATE_TEST_SUITE_P(Vectors, ProtocolVectorsWrittenMessage,
                         ::testing::ValuesIn(rows("messages", [](const QJsonObject &m) { return ProtocolVectors::writtenBy(m, "desktop"); })),
                         rowName);

// --- Poll answers ----------------------------------------------------------------------------

// The meanings of the messages whose frames an answer of the request story holds.
QJsonArray meaningsOfFrames(const QJsonObject &answer)
{
    QJsonArray meanings;
    for (const QJsonValue &frame : answer.value(QLatin1String("frames")).toArray()) {
        for (const QJsonValue &message : ProtocolVectors::section("messages")) {
            if (message[QLatin1String("payload")] == frame[QLatin1String("payload")])
                meanings.append(message[QLatin1String("meaning")]);
        }
    }
    return meanings;
}

std::vector<Row> pollAnswerRows()
{
    std::vector<Row> out = rows("pollAnswers");
    // The switchboard's own answers in the request story, as the side that polled reads them.
    for (const Row &request : rows("requests", [](const QJsonObject &r) {
             return text(r, "path") == QLatin1String("poll") && r[QLatin1String("answer")][QLatin1String("status")].toInt() == 200;
         })) {
        const QJsonObject answer = parse(request.example[QLatin1String("answer")][QLatin1String("body")].toString());
        out.push_back({request.name,
                       QJsonObject{{QStringLiteral("reader"), request.example[QLatin1String("meaning")][QLatin1String("role")]},
                                   {QStringLiteral("text"), request.example[QLatin1String("answer")][QLatin1String("body")]},
                                   {QStringLiteral("meaning"), QJsonObject{{QStringLiteral("messages"), meaningsOfFrames(answer)}}}}});
    }
    return out;
}

class ProtocolVectorsPollAnswer : public ::testing::TestWithParam<Row>
{
};

TEST_P(ProtocolVectorsPollAnswer, Decoded_GivesItsMessagesInOrder)
{
    const QJsonObject &example = GetParam().example;
    const QJsonObject answer = parse(text(example, "text"));
    const QJsonArray meanings = example[QLatin1String("meaning")][QLatin1String("messages")].toArray();
    if (text(example, "reader") == QLatin1String("viewer"))
        EXPECT_EQ(decodeHostMessages(answer), messagesOf<HostMessage>(meanings, hostMessageOf));
    else
        EXPECT_EQ(decodeViewerMessages(answer), messagesOf<ViewerMessage>(meanings, viewerMessageOf));
}

INSTANTIATE_TEST_SUITE_P(Vectors, ProtocolVectorsPollAnswer, ::testing::ValuesIn(pollAnswerRows()), rowName);

// --- Request bodies --------------------------------------------------------------------------

namespace Requests = SwitchboardRequests;

SessionKeys keysOf(const QJsonObject &meaning, const char *tokenKey = "token")
{
    return {text(meaning, "sessionId"), text(meaning, tokenKey)};
}

Role roleOf(const QJsonObject &meaning)
{
    return text(meaning, "role") == QLatin1String("host") ? Role::host : Role::viewer;
}

template<typename Request>
std::pair<QString, QByteArray> written(const Request &request)
{
    return {Requests::pathOf(request), QJsonDocument(Requests::toJson(request)).toJson(QJsonDocument::Compact)};
}

// The path and body SwitchboardRequests writes for a meaning; nothing for a path it does not
// write.
std::optional<std::pair<QString, QByteArray>> writtenFor(const QString &path, const QJsonObject &meaning)
{
    if (path == QLatin1String("prove"))
        return written(Requests::Prove{text(meaning, "nonce").toLatin1()});
    if (path == QLatin1String("register"))
        return written(Requests::Register{text(meaning, "id"), text(meaning, "name"), text(meaning, "platform"),
                                          text(meaning, "password"), text(meaning, "hostToken"),
                                          meaning.value(QLatin1String("unattended")).toBool()});
    if (path == QLatin1String("heartbeat"))
        return written(Requests::Heartbeat{text(meaning, "id"), text(meaning, "hostToken")});
    if (path == QLatin1String("origin"))
        return written(Requests::Origin{text(meaning, "origin"), text(meaning, "id"), text(meaning, "hostToken")});
    if (path == QLatin1String("lookup"))
        return written(Requests::Lookup{text(meaning, "id")});
    if (path == QLatin1String("connect"))
        return written(Requests::Connect{text(meaning, "id"), text(meaning, "password"), text(meaning, "clientName"),
                                         text(meaning, "clientPlatform"), text(meaning, "deviceToken")});
    if (path == QLatin1String("claim"))
        return written(Requests::Claim{keysOf(meaning, "sessionToken")});
    if (path == QLatin1String("poll"))
        return written(Requests::Poll{keysOf(meaning), roleOf(meaning), meaning.value(QLatin1String("since")).toInteger()});
    if (path == QLatin1String("close"))
        return written(Requests::Close{keysOf(meaning), text(meaning, "reason")});
    if (path == QLatin1String("push")) {
        const Requests::Push push{keysOf(meaning), roleOf(meaning),
                                  Envelope{text(meaning, "kind"), text(meaning, "payload").toLatin1()}};
        return std::pair{Requests::pathOf(push), Requests::toBytes(push)};
    }
    return std::nullopt;
}

// Every request this program writes (SwitchboardRequests): its path, and its body byte for byte
// (push: session members first, payload copied in).
class ProtocolVectorsRequest : public ::testing::TestWithParam<Row>
{
};

TEST_P(ProtocolVectorsRequest, Written_GivesThePathAndTheBodyExactly)
{
    const QJsonObject &example = GetParam().example;
    const auto request = writtenFor(text(example, "path"), example[QLatin1String("meaning")].toObject());
    ASSERT_TRUE(request) << "no writer for " << text(example, "path").toStdString();
    EXPECT_EQ(request->first, text(example, "path"));
    EXPECT_EQ(request->second, text(example, "body").toUtf8());
}

INSTANTIATE_TEST_SUITE_P(Vectors, ProtocolVectorsRequest, ::testing::ValuesIn(rows("requests", [](const QJsonObject &r) {
                             return ProtocolVectors::writtenBy(r, "desktop");
                         })),
                         rowName);

// The switchboard's answers this program reads, as SwitchboardRequests decodes them.
class ProtocolVectorsAnswer : public ::testing::TestWithParam<Row>
{
};

TEST_P(ProtocolVectorsAnswer, Read_GivesItsMeaning)
{
    const QJsonObject &example = GetParam().example;
    const QString path = text(example, "path");
    const QJsonObject answer = parse(example[QLatin1String("answer")][QLatin1String("body")].toString());
    const QJsonObject meaning = example[QLatin1String("answer")][QLatin1String("meaning")].toObject();
    if (path == QLatin1String("heartbeat")) {
        const Requests::HeartbeatAnswer read = Requests::HeartbeatAnswer::fromJson(answer);
        EXPECT_EQ(read.origin.value_or(QString()), text(meaning, "origin"));
        const QJsonObject pending = meaning.value(QLatin1String("pending")).toObject();
        if (pending.isEmpty()) {
            EXPECT_FALSE(read.pending);
        } else {
            ASSERT_TRUE(read.pending);
            EXPECT_EQ(read.pending->keys, keysOf(pending, "sessionToken"));
            EXPECT_EQ(read.pending->clientName.value_or(QString()), text(pending, "clientName"));
            EXPECT_EQ(read.pending->clientPlatform.value_or(QString()), text(pending, "clientPlatform"));
            EXPECT_EQ(read.pending->clientAddress.value_or(QString()), text(pending, "clientAddress"));
        }
    } else if (path == QLatin1String("connect")) {
        const Requests::ConnectAnswer read = Requests::ConnectAnswer::fromJson(answer);
        EXPECT_EQ(read.keys, keysOf(meaning, "sessionToken"));
        EXPECT_EQ(read.deviceToken, text(meaning, "deviceToken"));
        EXPECT_EQ(read.transport, transportFromRaw(text(meaning, "transport")));
    } else if (path == QLatin1String("lookup")) {
        const Requests::LookupAnswer read = Requests::LookupAnswer::fromJson(answer);
        EXPECT_EQ(read.found, meaning.value(QLatin1String("found")).toBool());
        EXPECT_EQ(read.online, meaning.value(QLatin1String("online")).toBool());
        EXPECT_EQ(read.name.value_or(QString()), text(meaning, "name"));
    } else if (path == QLatin1String("poll")) {
        EXPECT_EQ(Requests::pollCursor(answer), std::optional<qint64>(meaning.value(QLatin1String("since")).toInteger()));
    }
}

INSTANTIATE_TEST_SUITE_P(Vectors, ProtocolVectorsAnswer, ::testing::ValuesIn(rows("requests", [](const QJsonObject &r) {
                             const QString path = text(r, "path");
                             return ProtocolVectors::writtenBy(r, "desktop") && r[QLatin1String("answer")][QLatin1String("status")].toInt() == 200
                                 && (path == QLatin1String("heartbeat") || path == QLatin1String("connect")
                                     || path == QLatin1String("lookup") || path == QLatin1String("poll"));
                         })),
                         rowName);

} // namespace
