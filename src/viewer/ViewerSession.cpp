#include "ViewerSession.h"

#include "CancellablePause.h"
#include "JsonMembers.h"
#include "KivrenAPI.h"
#include "PictureBound.h"
#include "PlatformWording.h"
#include "NamedKey.h"

#include <QVariant>

#include <cmath>
#include <cstring>
#include <utility>

using namespace SessionProtocol;

namespace {

const QString statusNoCloud = PlatformWording::noCloudAddress();

QString transportLabel(Transport transport)
{
    switch (transport) {
    case Transport::lan:
        return QStringLiteral("Direct LAN");
    case Transport::p2p:
        return QStringLiteral("Direct");
    case Transport::relay:
        break;
    }
    return QStringLiteral("Relay");
}

} // namespace

ViewerSession::ViewerSession(Options options)
    : m_options(std::move(options))
    , m_pictureBound(PictureBound::beforeHello())
{
}

QCoro::Task<> ViewerSession::run(std::stop_token stop)
{
    // Whoever stopped this session (a disconnect, a newer connect, the client going) owns the
    // published state from then on.
    m_stop = stop;
    Listener &out = *m_options.listener;
    KivrenAPI &api = *m_options.api;
    const auto fail = [this, &out](const KivrenError &error) {
        // Input waiting for a session that has failed goes nowhere.
        if (m_input)
            m_input->clear();
        out.setPhase(SessionPhase::failed);
        out.setError(error.description);
        out.setStatus(error.description);
    };

    // Like any background task, this one starts on a later pass of the event loop: connect
    // returns with the phase still connecting, and a session replaced before then never starts.
    co_await cancellablePause(std::chrono::milliseconds(0), stop);
    if (stop.stop_requested())
        co_return;

    const QString cloudURL = out.cloudURL();
    if (cloudURL.isEmpty()) {
        out.setStatus(statusNoCloud);
        out.setPhase(SessionPhase::failed);
        co_return;
    }
    api.setBase(cloudURL);

    out.setPhase(SessionPhase::authenticating);
    out.setStatus(QStringLiteral("Authenticating"));
    if (stop.stop_requested())
        co_return;

    const KivrenAnswer lookup = co_await api.post(QStringLiteral("lookup"), QJsonObject{{QStringLiteral("id"), m_options.id}}, stop);
    if (stop.stop_requested())
        co_return;
    if (!lookup.ok()) {
        fail(*lookup.error);
        co_return;
    }
    if (!JsonMembers::boolean(lookup.object, QStringLiteral("found"), false)) {
        fail(KivrenError::kivren(404, QStringLiteral("Unknown ID")));
        co_return;
    }
    if (!JsonMembers::boolean(lookup.object, QStringLiteral("online"), false)) {
        fail(KivrenError::kivren(409, QStringLiteral("That PC is offline")));
        co_return;
    }

    const QString hostName = JsonMembers::text(lookup.object, QStringLiteral("name"), QStringLiteral("Remote"));
    out.setHostName(hostName);
    if (stop.stop_requested())
        co_return;

    const QJsonObject connectBody{
        {QStringLiteral("id"), m_options.id},
        {QStringLiteral("password"), m_options.password},
        {QStringLiteral("clientName"), m_options.clientName},
        {QStringLiteral("clientPlatform"), platformName},
    };
    const KivrenAnswer opened = co_await api.post(QStringLiteral("connect"), connectBody, stop);
    if (stop.stop_requested())
        co_return;
    if (!opened.ok()) {
        fail(*opened.error);
        co_return;
    }

    m_options.keys = {JsonMembers::text(opened.object, QStringLiteral("sessionId")),
                      JsonMembers::text(opened.object, QStringLiteral("sessionToken"))};
    // A transport the answer does not name keeps the one of the session before.
    const QJsonValue transport = opened.object.value(QStringLiteral("transport"));
    if (transport.isString()) {
        if (const auto reported = transportFromRaw(transport.toString()))
            out.setTransport(*reported);
    }

    out.remember(m_options.id, hostName);
    if (stop.stop_requested())
        co_return;

    m_since = 0;
    m_input = std::make_shared<InputQueue>(
        InputQueue::Options{m_options.api, m_options.keys, m_options.pushLifetime, m_options.pushWaitLimit});
    out.setPhase(SessionPhase::live);
    out.setStatus(QStringLiteral("Connected \u00B7 ") + transportLabel(out.transport()));

    // Polls are strictly sequential: the pause runs from the end of one to the start of the next.
    // The first failed poll ends the session; there is no retry.
    for (;;) {
        if (stop.stop_requested())
            co_return;
        const KivrenAnswer answer = co_await api.post(QStringLiteral("poll"), pollBody(m_options.keys, Role::viewer, m_since), stop);
        if (stop.stop_requested())
            co_return;
        if (!answer.ok()) {
            fail(*answer.error);
            co_return;
        }
        applyPollAnswer(answer.object, stop);
        co_await cancellablePause(pollPause, stop);
    }
}

void ViewerSession::applyPollAnswer(const QJsonObject &answer, const std::stop_token &stop)
{
    if (const auto cursor = cursorFrom(answer.value(QStringLiteral("since"))))
        m_since = *cursor;

    const QList<HostMessage> messages = decodeHostMessages(answer);
    // The answer's last full picture replaces everything drawn before it: the pictures and tiles
    // ahead of it are not decoded at all.
    qsizetype lastPicture = -1;
    for (qsizetype i = 0; i < messages.size(); ++i) {
        if (std::holds_alternative<Picture>(messages[i]))
            lastPicture = i;
    }

    // The picture is published once it is whole: at the end of the answer, and before a hello is
    // reported, whose bound is for the pictures after it. An observer may react by
    // disconnecting, after which nothing more of this answer is applied.
    Listener &out = *m_options.listener;
    QRegion changed;
    const auto publish = [&] {
        if (!changed.isEmpty() && !stop.stop_requested())
            out.setFrame(m_picture, std::exchange(changed, QRegion()));
    };
    for (qsizetype i = 0; i < messages.size(); ++i) {
        if (stop.stop_requested())
            return;
        const HostMessage &message = messages[i];
        if (const auto *picture = std::get_if<Picture>(&message)) {
            if (i < lastPicture)
                continue;
            QImage image = m_jpeg.decode(picture->jpeg, m_pictureBound);
            if (!image.isNull()) {
                m_picture = std::move(image);
                changed = QRect(QPoint(), m_picture.size());
            }
        } else if (const auto *tiles = std::get_if<Tiles>(&message)) {
            if (i > lastPicture)
                changed += drawTiles(*tiles);
        } else if (const auto *hello = std::get_if<Hello>(&message)) {
            publish();
            if (stop.stop_requested())
                return;
            out.setRemoteSize(QSizeF(hello->width, hello->height));
            m_pictureBound = PictureBound::forHello(hello->width, hello->height);
            m_peerFeatures = hello->features;
            if (!m_options.offered.isEmpty() && !stop.stop_requested() && m_input)
                m_input->enqueue(Caps{m_options.offered});
        }
    }
    publish();
}

QRegion ViewerSession::drawTiles(const Tiles &tiles)
{
    // Tiles belong to the picture they were cut from: drawn onto another, they would tear it.
    if (m_picture.isNull() || tiles.pictureSize != m_picture.size())
        return {};
    const QRect whole(QPoint(), m_picture.size());
    // Tiles of one frame do not overlap, so together they cover at most the picture: more is a
    // broken or hostile frame, whose small JPEGs could each decode to a picture's worth of memory.
    qint64 pixelsLeft = qint64(whole.width()) * whole.height();
    QList<QImage> images;
    images.reserve(tiles.tiles.size());
    for (const Tile &tile : tiles.tiles) {
        if (!whole.contains(tile.position))
            return {};
        // Bounded by the rest of the picture: a tile reaching past its edge is not even decoded.
        const QSize room(whole.width() - tile.position.x(), whole.height() - tile.position.y());
        QImage image = m_jpeg.decode(tile.jpeg, room);
        pixelsLeft -= qint64(image.width()) * image.height();
        if (image.isNull() || pixelsLeft < 0)
            return {};
        images.append(std::move(image));
    }

    // Every tile is decoded and inside: only now is the picture touched, so a frame is drawn
    // whole or not at all. Pictures and tiles alike come from the decoder as 32-bit pixels.
    // The picture is shared with whoever it was published to: this copies it first, which can
    // fail for want of memory.
    uchar *bits = m_picture.bits();
    if (!bits)
        return {};
    const qsizetype stride = m_picture.bytesPerLine();
    constexpr qsizetype pixelBytes = 4;
    QRegion drawn;
    for (qsizetype i = 0; i < images.size(); ++i) {
        const QImage &image = images[i];
        const QPoint at = tiles.tiles[i].position;
        const qsizetype rowBytes = qsizetype(image.width()) * pixelBytes;
        for (int row = 0; row < image.height(); ++row)
            std::memcpy(bits + (at.y() + row) * stride + at.x() * pixelBytes, image.constScanLine(row), rowBytes);
        drawn += QRect(at, image.size());
    }
    return drawn;
}

std::optional<qint64> ViewerSession::cursorFrom(const QJsonValue &since)
{
    if (!since.isDouble())
        return std::nullopt;
    // Whole numbers are kept as 64-bit integers by the parser: take them exactly.
    const QVariant exact = since.toVariant();
    if (exact.typeId() == QMetaType::LongLong)
        return exact.toLongLong();
    const double value = std::trunc(since.toDouble());
    // [-2^63, 2^63): the doubles that convert to qint64 without overflow.
    constexpr double limit = 9223372036854775808.0;
    if (!std::isfinite(value) || value < -limit || value >= limit)
        return std::nullopt;
    return static_cast<qint64>(value);
}

void ViewerSession::send(ViewerMessage message)
{
    if (!m_input || m_stop.stop_requested())
        return;
    const bool modifiers = m_peerFeatures.contains(featureModifiers);
    if (auto *input = std::get_if<Input>(&message)) {
        // The pointer event itself is still wanted: a Ctrl+click becomes a plain click.
        if (!modifiers)
            input->event.modifiers = {};
    } else if (const auto *key = std::get_if<Key>(&message)) {
        if (!key->modifiers.isEmpty() && !modifiers)
            return;
        const std::optional<NamedKey> special = namedKeyFromCodeName(key->codeName);
        if (special && !isBasicNamedKey(*special) && !m_peerFeatures.contains(featureKeys))
            return;
    } else if (const auto *text = std::get_if<Text>(&message)) {
        for (const QString &piece : splitText(text->text))
            m_input->enqueue(Text{piece});
        return;
    }
    m_input->enqueue(std::move(message));
}
