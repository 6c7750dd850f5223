#pragma once

#include "KeyModifiers.h"
#include "RemoteInput.h"
#include "SessionFeatures.h"

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QPoint>
#include <QSize>
#include <QString>
#include <QStringList>

#include <optional>
#include <variant>

// The messages a session carries through its pushes and polls (SwitchboardRequests), as types,
// and their bytes on the wire. The host and the viewer read and write session messages only
// through here.
//
// Every frame is {"kind": "json" | "jpeg", "payload": base64 of the message bytes}. A json
// frame holds one JSON object whose "type" names the message. Receivers skip members, types and
// kinds they do not know: that is what lets an addition (a new member, message type or frame
// kind) reach a peer that predates it, and SessionFeatures is how a side learns that its peer
// understands one.
namespace SessionProtocol {

inline const QString kindJson = QStringLiteral("json");
inline const QString kindJpeg = QStringLiteral("jpeg");
inline const QString kindTiles = QStringLiteral("tiles");

// The platform this program names in "register", "connect" and hello, whatever it runs on:
// peers have always been told "macos".
inline const QString platformName = QStringLiteral("macos");

// Additions a host may name in its hello's "features":
// - "modifiers": key and input messages may carry "modifiers", an array of the held modifier
//   keys ("shift", "control", "alt", "meta"), pressed before the key or pointer action and
//   released after it. A host without it would type a shortcut's bare letter.
// - "keys": key messages may name the further special keys (NamedKey: "home", "end",
//   "pageup", "pagedown", "insert", "f1" ... "f12").
inline const QString featureModifiers = QStringLiteral("modifiers");
inline const QString featureKeys = QStringLiteral("keys");
// - "hover": an input message of kind "move" with no button held moves the pointer (menus and
//   tooltips that open under it do). A host without it may take any move for a drag, so the
//   viewer sends moves only while a button is held.
inline const QString featureHover = QStringLiteral("hover");
// Additions a viewer may name in its caps message's "features":
// - "tiles": the host may send, after a full picture, only the areas that changed since (frame
//   kind "tiles", see Tiles). A viewer without it gets a full picture for every change.
inline const QString featureTiles = QStringLiteral("tiles");
// - "cursor": the host may send its pointer's shape and position as "cursor" messages (Cursor),
//   which the viewer draws over the picture. A viewer without it is sent none.
inline const QString featureCursor = QStringLiteral("cursor");

// This viewer puts at most this many characters (Unicode code points) in one text message and
// splits longer text. Other viewers may send more: the host takes a longer message whole
// (HostInputQueue types it in slices).
constexpr qsizetype maxTextCharacters = 1024;
// The characters of `text`, split into pieces of at most `limit` characters each, never inside
// a surrogate pair. Nothing for empty text.
QStringList splitText(const QString &text, qsizetype limit = maxTextCharacters);

enum class Role { host, viewer };
// "host" or "viewer", as the switchboard reads it.
QString roleName(Role role);

// Which session a push or poll belongs to (SwitchboardRequests writes them).
struct SessionKeys
{
    QString id;
    QString token;

    friend bool operator==(const SessionKeys &, const SessionKeys &) = default;
};

// --- Host to viewer ---

// The host's greeting, sent once per session: its main display's size in points, its platform,
// and the additions it can use ("features", written only when there are any).
struct Hello
{
    double width = 0;
    double height = 0;
    QString platform;
    SessionFeatures features;

    friend bool operator==(const Hello &, const Hello &) = default;
};

// One picture of the host's main display, as JPEG file bytes (frame kind "jpeg").
struct Picture
{
    QByteArray jpeg;

    friend bool operator==(const Picture &, const Picture &) = default;
};

// One changed area: a JPEG of its own, placed with its top-left pixel at `position` in the
// picture.
struct Tile
{
    QPoint position;
    QByteArray jpeg;

    friend bool operator==(const Tile &, const Tile &) = default;
};

// The areas that changed since the host's last picture or tiles frame (frame kind "tiles", only
// for a viewer that named "tiles"). They apply to a picture of `pictureSize` pixels, in order;
// a viewer whose picture has another size drops them. The payload is binary, every number
// big-endian: picture width (u16), picture height (u16), then per tile x (u16), y (u16), JPEG
// length (u32) and the JPEG file bytes, up to the end. Each frame leaves the picture whole: one
// host pass sends all its changed areas in one frame.
struct Tiles
{
    QSize pictureSize;
    QList<Tile> tiles;

    friend bool operator==(const Tiles &, const Tiles &) = default;
};

// The host's pointer (only for a viewer that named "cursor"), a json message of type "cursor":
// where it is, as fractions of the main display like an input message's ("x", "y"; outside 0..1
// while it is on another display), and, when its shape changed or the viewer may not hold it,
// the shape: a PNG ("png", base64) in the display's own pixels and the point of it that is the
// pointer's tip ("hotX", "hotY", pixels from its top-left). At most maxCursorSide pixels a side.
struct Cursor
{
    double x = 0;
    double y = 0;
    // Empty: the shape is the one sent last.
    QByteArray png;
    QPoint hotspot;

    friend bool operator==(const Cursor &, const Cursor &) = default;
};
constexpr int maxCursorSide = 256;

using HostMessage = std::variant<Hello, Picture, Tiles, Cursor>;

// --- Viewer to host ---

// One pointer event, always written with all eight members, plus "modifiers" when any are held.
struct Input
{
    RemoteInput event;

    friend bool operator==(const Input &, const Input &) = default;
};

// One key press or release: a special key by `codeName`, else the characters in `key`, with
// the modifiers held ("modifiers", written only when there are any).
struct Key
{
    QString codeName;
    QString key;
    bool down = true;
    KeyModifiers modifiers;

    friend bool operator==(const Key &, const Key &) = default;
};

// Text to type; on the wire it is carried in the member "key".
struct Text
{
    QString text;

    friend bool operator==(const Text &, const Text &) = default;
};

// Ends the host's session.
struct Close
{
    friend bool operator==(const Close &, const Close &) = default;
};

// The additions the viewer can use, its answer to a hello.
struct Caps
{
    SessionFeatures features;

    friend bool operator==(const Caps &, const Caps &) = default;
};

using ViewerMessage = std::variant<Input, Key, Text, Close, Caps>;

// --- Frames ---

// A frame ready to push: its kind and its payload, already base64.
struct Envelope
{
    QString kind;
    QByteArray base64;
};

Envelope encode(const HostMessage &message);
Envelope encode(const ViewerMessage &message);
// The JSON object a json message travels as.
QJsonObject toJson(const Hello &hello);
QJsonObject toJson(const Cursor &cursor);
QJsonObject toJson(const ViewerMessage &message);

// One frame of a poll answer, decoded. `bytes` is the decoded payload; `message` is set for kind
// "json" when the bytes parse as a JSON object.
struct Frame
{
    QString kind;
    QByteArray bytes;
    std::optional<QJsonObject> message;
};

// The frames of a poll answer, in order. "frames" that is missing, not an array, or holds any
// element that is not an object gives no frames at all. A frame whose kind or payload is
// not a string, or whose payload is not strict base64, is left out; the rest still come.
QList<Frame> decodeFrames(const QJsonObject &pollAnswer);

// What the viewer takes from one frame: a picture, tiles, the pointer or the hello. A cursor
// message without numeric "x" and "y", or whose "png" is not base64, is skipped. Tiles whose bytes do not
// follow their layout exactly, that are empty, or that start outside their picture are skipped
// as a whole (whether each JPEG fits is for the decoder to see).
std::optional<HostMessage> decodeHostMessage(const Frame &frame);
// What the host takes from one json message; members missing or of another type take their
// defaults (pointer position 0, button 0, click count 1, key down).
std::optional<ViewerMessage> decodeViewerMessage(const QJsonObject &message);

// Everything of a poll answer that the receiving side understands, in order.
QList<HostMessage> decodeHostMessages(const QJsonObject &pollAnswer);
QList<ViewerMessage> decodeViewerMessages(const QJsonObject &pollAnswer);

} // namespace SessionProtocol
