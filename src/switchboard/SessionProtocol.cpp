#include "SessionProtocol.h"

#include "Base64.h"
#include "JsonMembers.h"

#include <QJsonArray>
#include <QJsonDocument>

#include <algorithm>

namespace SessionProtocol {

namespace {

const QString typeKey = QStringLiteral("type");
const QString featuresKey = QStringLiteral("features");
const QString helloType = QStringLiteral("hello");
const QString inputType = QStringLiteral("input");
const QString keyType = QStringLiteral("key");
const QString textType = QStringLiteral("text");
const QString closeType = QStringLiteral("close");
const QString capsType = QStringLiteral("caps");
const QString cursorType = QStringLiteral("cursor");
const QString pngKey = QStringLiteral("png");
const QString modifiersKey = QStringLiteral("modifiers");

// Absent rather than empty, so that a message without modifiers keeps the bytes it always had.
void insertModifiers(QJsonObject &message, KeyModifiers modifiers)
{
    if (!modifiers.isEmpty())
        message.insert(modifiersKey, QJsonArray::fromStringList(modifiers.names()));
}

// The text elements of a JSON array; anything else names no modifier.
KeyModifiers modifiersFrom(const QJsonObject &message)
{
    QStringList names;
    for (const QJsonValue &element : message.value(modifiersKey).toArray()) {
        if (element.isString())
            names.append(element.toString());
    }
    return KeyModifiers::fromNames(names);
}

QByteArray jsonPayload(const QJsonObject &message)
{
    return Base64::encode(QJsonDocument(message).toJson(QJsonDocument::Compact));
}

QJsonObject inputJson(const Input &input)
{
    const RemoteInput &e = input.event;
    QJsonObject message{
        {typeKey, inputType},
        {QStringLiteral("kind"), rawText(e.kind)},
        {QStringLiteral("x"), e.x},
        {QStringLiteral("y"), e.y},
        {QStringLiteral("button"), qint64(e.button)},
        {QStringLiteral("clickCount"), qint64(e.clickCount)},
        {QStringLiteral("deltaX"), e.deltaX},
        {QStringLiteral("deltaY"), e.deltaY},
    };
    insertModifiers(message, e.modifiers);
    return message;
}

Input inputFrom(const QJsonObject &message)
{
    RemoteInput e;
    e.kind = remoteInputKindFromRaw(JsonMembers::text(message, QStringLiteral("kind"))).value_or(RemoteInput::Kind::move);
    e.x = JsonMembers::number(message, QStringLiteral("x"), 0);
    e.y = JsonMembers::number(message, QStringLiteral("y"), 0);
    e.button = JsonMembers::integer(message, QStringLiteral("button"), 0);
    e.clickCount = JsonMembers::integer(message, QStringLiteral("clickCount"), 1);
    e.deltaX = JsonMembers::number(message, QStringLiteral("deltaX"), 0);
    e.deltaY = JsonMembers::number(message, QStringLiteral("deltaY"), 0);
    e.modifiers = modifiersFrom(message);
    return {e};
}

template<typename Message>
QList<Message> decodeAll(const QJsonObject &pollAnswer, std::optional<Message> (*decodeOne)(const Frame &))
{
    QList<Message> messages;
    for (const Frame &frame : decodeFrames(pollAnswer)) {
        if (std::optional<Message> message = decodeOne(frame))
            messages.append(std::move(*message));
    }
    return messages;
}

// Tiles payloads: big-endian numbers, so that every reader (a browser's DataView included)
// reads them the same way.
void appendU16(QByteArray &out, int value)
{
    out.append(char((value >> 8) & 0xff));
    out.append(char(value & 0xff));
}

void appendU32(QByteArray &out, quint32 value)
{
    appendU16(out, int(value >> 16));
    appendU16(out, int(value & 0xffff));
}

quint32 readU16(const QByteArray &bytes, qsizetype at)
{
    return (quint32(quint8(bytes[at])) << 8) | quint8(bytes[at + 1]);
}

quint32 readU32(const QByteArray &bytes, qsizetype at)
{
    return (readU16(bytes, at) << 16) | readU16(bytes, at + 2);
}

constexpr qsizetype tilesHeaderBytes = 4;
constexpr qsizetype tileHeaderBytes = 8;

QByteArray tilesBytes(const Tiles &tiles)
{
    qsizetype total = tilesHeaderBytes;
    for (const Tile &tile : tiles.tiles)
        total += tileHeaderBytes + tile.jpeg.size();
    QByteArray out;
    out.reserve(total);
    appendU16(out, tiles.pictureSize.width());
    appendU16(out, tiles.pictureSize.height());
    for (const Tile &tile : tiles.tiles) {
        appendU16(out, tile.position.x());
        appendU16(out, tile.position.y());
        appendU32(out, quint32(tile.jpeg.size()));
        out.append(tile.jpeg);
    }
    return out;
}

std::optional<Tiles> tilesFrom(const QByteArray &bytes)
{
    if (bytes.size() < tilesHeaderBytes)
        return std::nullopt;
    Tiles tiles;
    tiles.pictureSize = QSize(int(readU16(bytes, 0)), int(readU16(bytes, 2)));
    if (tiles.pictureSize.isEmpty())
        return std::nullopt;
    qsizetype at = tilesHeaderBytes;
    while (at < bytes.size()) {
        if (bytes.size() - at < tileHeaderBytes)
            return std::nullopt;
        const QPoint position(int(readU16(bytes, at)), int(readU16(bytes, at + 2)));
        const quint32 length = readU32(bytes, at + 4);
        at += tileHeaderBytes;
        if (length == 0 || length > quint64(bytes.size() - at))
            return std::nullopt;
        if (position.x() >= tiles.pictureSize.width() || position.y() >= tiles.pictureSize.height())
            return std::nullopt;
        tiles.tiles.append(Tile{position, bytes.mid(at, qsizetype(length))});
        at += qsizetype(length);
    }
    if (tiles.tiles.isEmpty())
        return std::nullopt;
    return tiles;
}

std::optional<HostMessage> cursorFrom(const QJsonObject &message)
{
    const QJsonValue x = message.value(QStringLiteral("x"));
    const QJsonValue y = message.value(QStringLiteral("y"));
    if (!x.isDouble() || !y.isDouble())
        return std::nullopt;
    Cursor cursor{x.toDouble(), y.toDouble(), {}, {}};
    const QJsonValue png = message.value(pngKey);
    if (png.isString()) {
        const QString text = png.toString();
        std::optional<QByteArray> bytes = Base64::decodeStrict(QStringView(text));
        if (!bytes)
            return std::nullopt;
        cursor.png = std::move(*bytes);
        cursor.hotspot = QPoint(message.value(QStringLiteral("hotX")).toInt(), message.value(QStringLiteral("hotY")).toInt());
    }
    return cursor;
}

std::optional<ViewerMessage> viewerMessageOf(const Frame &frame)
{
    // Only json frames reach the host; a picture sent its way means nothing to it.
    if (frame.kind != kindJson || !frame.message)
        return std::nullopt;
    return decodeViewerMessage(*frame.message);
}

} // namespace

QStringList splitText(const QString &text, qsizetype limit)
{
    QStringList pieces;
    limit = std::max<qsizetype>(limit, 1);
    const qsizetype size = text.size();
    qsizetype start = 0;
    while (start < size) {
        qsizetype end = start;
        for (qsizetype characters = 0; end < size && characters < limit; ++characters) {
            const bool pair = text.at(end).isHighSurrogate() && end + 1 < size && text.at(end + 1).isLowSurrogate();
            end += pair ? 2 : 1;
        }
        pieces.append(text.mid(start, end - start));
        start = end;
    }
    return pieces;
}

QString roleName(Role role)
{
    return role == Role::host ? QStringLiteral("host") : QStringLiteral("viewer");
}

QJsonObject toJson(const Hello &hello)
{
    QJsonObject object{
        {typeKey, helloType},
        {QStringLiteral("width"), hello.width},
        {QStringLiteral("height"), hello.height},
        {QStringLiteral("platform"), hello.platform},
    };
    // Absent rather than empty, so that a host announcing nothing greets exactly as before.
    if (!hello.features.isEmpty())
        object.insert(featuresKey, hello.features.toJson());
    return object;
}

QJsonObject toJson(const Cursor &cursor)
{
    QJsonObject object{{typeKey, cursorType}, {QStringLiteral("x"), cursor.x}, {QStringLiteral("y"), cursor.y}};
    if (!cursor.png.isEmpty()) {
        object.insert(pngKey, QString::fromLatin1(Base64::encode(cursor.png)));
        object.insert(QStringLiteral("hotX"), cursor.hotspot.x());
        object.insert(QStringLiteral("hotY"), cursor.hotspot.y());
    }
    return object;
}

QJsonObject toJson(const ViewerMessage &message)
{
    struct Writer
    {
        QJsonObject operator()(const Input &input) const { return inputJson(input); }
        QJsonObject operator()(const Key &key) const
        {
            QJsonObject message{{typeKey, keyType},
                                {QStringLiteral("codeName"), key.codeName},
                                {QStringLiteral("key"), key.key},
                                {QStringLiteral("down"), key.down}};
            insertModifiers(message, key.modifiers);
            return message;
        }
        QJsonObject operator()(const Text &text) const { return {{typeKey, textType}, {QStringLiteral("key"), text.text}}; }
        QJsonObject operator()(const Close &) const { return {{typeKey, closeType}}; }
        QJsonObject operator()(const Caps &caps) const { return {{typeKey, capsType}, {featuresKey, caps.features.toJson()}}; }
    };
    return std::visit(Writer{}, message);
}

Envelope encode(const HostMessage &message)
{
    if (const auto *picture = std::get_if<Picture>(&message))
        return {kindJpeg, Base64::encode(picture->jpeg)};
    if (const auto *tiles = std::get_if<Tiles>(&message))
        return {kindTiles, Base64::encode(tilesBytes(*tiles))};
    if (const auto *cursor = std::get_if<Cursor>(&message))
        return {kindJson, jsonPayload(toJson(*cursor))};
    return {kindJson, jsonPayload(toJson(std::get<Hello>(message)))};
}

Envelope encode(const ViewerMessage &message)
{
    return {kindJson, jsonPayload(toJson(message))};
}

QList<Frame> decodeFrames(const QJsonObject &pollAnswer)
{
    const QJsonValue framesValue = pollAnswer.value(QStringLiteral("frames"));
    if (!framesValue.isArray())
        return {};
    const QJsonArray frames = framesValue.toArray();
    // An array with any non-object element is not a frame list at all: nothing of it is used,
    // so a half-understood answer is never partly applied.
    for (const QJsonValue &element : frames) {
        if (!element.isObject())
            return {};
    }

    QList<Frame> decoded;
    decoded.reserve(frames.size());
    for (const QJsonValue &element : frames) {
        const QJsonObject envelope = element.toObject();
        const QJsonValue kind = envelope.value(QStringLiteral("kind"));
        const QJsonValue payload = envelope.value(QStringLiteral("payload"));
        if (!kind.isString() || !payload.isString())
            continue;
        const QString text = payload.toString();
        std::optional<QByteArray> bytes = Base64::decodeStrict(QStringView(text));
        if (!bytes)
            continue;

        Frame frame{kind.toString(), std::move(*bytes), std::nullopt};
        if (frame.kind == kindJson) {
            const QJsonDocument document = QJsonDocument::fromJson(frame.bytes);
            if (document.isObject())
                frame.message = document.object();
        }
        decoded.append(std::move(frame));
    }
    return decoded;
}

std::optional<HostMessage> decodeHostMessage(const Frame &frame)
{
    if (frame.kind == kindJpeg)
        return Picture{frame.bytes};
    if (frame.kind == kindTiles) {
        if (std::optional<Tiles> tiles = tilesFrom(frame.bytes))
            return std::move(*tiles);
        return std::nullopt;
    }
    if (frame.kind != kindJson || !frame.message)
        return std::nullopt;
    // Any json message with a numeric size is the hello, whatever its "type": that is how
    // viewers have always read it. Types added later are to be matched before this.
    const QJsonObject &message = *frame.message;
    if (JsonMembers::text(message, typeKey) == cursorType)
        return cursorFrom(message);
    const QJsonValue width = message.value(QStringLiteral("width"));
    const QJsonValue height = message.value(QStringLiteral("height"));
    if (!width.isDouble() || !height.isDouble())
        return std::nullopt;
    return Hello{width.toDouble(), height.toDouble(), JsonMembers::text(message, QStringLiteral("platform")),
                 SessionFeatures::fromJson(message.value(featuresKey))};
}

std::optional<ViewerMessage> decodeViewerMessage(const QJsonObject &message)
{
    const QString type = JsonMembers::text(message, typeKey);
    if (type == inputType)
        return inputFrom(message);
    if (type == keyType) {
        return Key{JsonMembers::text(message, QStringLiteral("codeName")), JsonMembers::text(message, QStringLiteral("key")),
                   JsonMembers::boolean(message, QStringLiteral("down"), true), modifiersFrom(message)};
    }
    if (type == textType) {
        // Text is only ever carried in "key"; without it the message asks for nothing.
        const QJsonValue text = message.value(QStringLiteral("key"));
        if (!text.isString())
            return std::nullopt;
        return Text{text.toString()};
    }
    if (type == closeType)
        return Close{};
    if (type == capsType)
        return Caps{SessionFeatures::fromJson(message.value(featuresKey))};
    return std::nullopt;
}

QList<HostMessage> decodeHostMessages(const QJsonObject &pollAnswer)
{
    return decodeAll<HostMessage>(pollAnswer, &decodeHostMessage);
}

QList<ViewerMessage> decodeViewerMessages(const QJsonObject &pollAnswer)
{
    return decodeAll<ViewerMessage>(pollAnswer, &viewerMessageOf);
}

} // namespace SessionProtocol
