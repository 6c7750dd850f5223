#include "PollAnswerDecoding.h"

#include "JpegDecoder.h"
#include "PictureBound.h"

#include <QBuffer>
#include <QImageReader>

#include <algorithm>
#include <cstring>
#include <utility>

using namespace SessionProtocol;

namespace {

qint64 pixelsOf(QSize size)
{
    return qint64(std::max(size.width(), 0)) * std::max(size.height(), 0);
}

// Draws a tiles frame onto `picture` and returns the area drawn; draws nothing (an empty area)
// unless every tile decodes and fits, and its tiles together stay within one picture and within
// what `budget` has left, which they are charged before any of them is decoded.
QRegion drawTiles(const Tiles &tiles, QImage &picture, JpegDecoder &jpeg, qint64 &budget, qint64 &decoded,
                  const std::stop_token &stop)
{
    // Tiles belong to the picture they were cut from: drawn onto another, they would tear it.
    if (picture.isNull() || tiles.pictureSize != picture.size())
        return {};
    const QRect whole(QPoint(), picture.size());
    // Tiles of one frame do not overlap, so together they cover at most the picture: more is a
    // broken or hostile frame, whose small JPEGs could each decode to a picture's worth.
    qint64 stated = 0;
    QList<QSize> sizes;
    sizes.reserve(tiles.tiles.size());
    for (const Tile &tile : tiles.tiles) {
        if (!whole.contains(tile.position))
            return {};
        // Bounded by the rest of the picture: a tile reaching past its edge is not even decoded.
        const QSize room(whole.width() - tile.position.x(), whole.height() - tile.position.y());
        const QSize size = jpeg.headerSize(tile.jpeg);
        if (!JpegDecoder::fits(size, room))
            return {};
        stated += pixelsOf(size);
        if (stated > pixelsOf(whole.size()) || stated > budget)
            return {};
        sizes.append(size);
    }
    budget -= stated;
    decoded += stated;

    QList<QImage> images;
    images.reserve(tiles.tiles.size());
    for (qsizetype i = 0; i < tiles.tiles.size(); ++i) {
        if (stop.stop_requested())
            return {};
        QImage image = jpeg.decode(tiles.tiles[i].jpeg, sizes[i]);
        if (image.isNull())
            return {};
        images.append(std::move(image));
    }

    // Every tile is decoded and inside: only now is the picture touched, so a frame is drawn
    // whole or not at all. Pictures and tiles alike come from the decoder as 32-bit pixels.
    // The picture may be shared with whoever it was published to: this copies it first, which
    // can fail for want of memory.
    uchar *bits = picture.bits();
    if (!bits)
        return {};
    const qsizetype stride = picture.bytesPerLine();
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

} // namespace

QImage PollAnswerDecoding::decodePointerShape(const QByteArray &png)
{
    QByteArray bytes = png;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer, "png");
    // Its size from the header, before a pixel of it is decoded.
    const QSize size = reader.size();
    if (size.isEmpty() || size.width() > maxCursorSide || size.height() > maxCursorSide)
        return {};
    QImage image = reader.read();
    if (image.isNull() || image.size() != size)
        return {};
    return image.convertToFormat(QImage::Format_ARGB32_Premultiplied);
}

PollAnswerDecoding::Outcome PollAnswerDecoding::decode(const QJsonObject &answer, Start start, const std::stop_token &stop)
{
    return decode(decodeHostMessages(answer), std::move(start), stop);
}

PollAnswerDecoding::Outcome PollAnswerDecoding::decode(const QList<HostMessage> &messages, Start start,
                                                       const std::stop_token &stop)
{
    Outcome out;
    out.picture = std::move(start.picture);
    out.bound = start.bound;
    qint64 budget = PictureBound::answerPixels(out.bound);

    // The answer's last full picture replaces everything drawn before it: the pictures and tiles
    // ahead of it are not decoded at all.
    qsizetype lastPicture = -1;
    for (qsizetype i = 0; i < messages.size(); ++i) {
        if (std::holds_alternative<Picture>(messages[i]))
            lastPicture = i;
    }

    JpegDecoder jpeg;
    QRegion changed;
    const auto show = [&] {
        if (!changed.isEmpty())
            out.steps.append(Shown{out.picture, std::exchange(changed, QRegion())});
    };
    for (qsizetype i = 0; i < messages.size(); ++i) {
        if (stop.stop_requested())
            return out;
        const HostMessage &message = messages[i];
        if (const auto *picture = std::get_if<Picture>(&message)) {
            if (i < lastPicture)
                continue;
            const QSize size = jpeg.headerSize(picture->jpeg);
            const qint64 stated = pixelsOf(size);
            if (!JpegDecoder::fits(size, out.bound) || stated > budget)
                continue;
            budget -= stated;
            out.pixelsDecoded += stated;
            QImage image = jpeg.decode(picture->jpeg, out.bound);
            if (!image.isNull()) {
                out.picture = std::move(image);
                changed = QRect(QPoint(), out.picture.size());
            }
        } else if (const auto *tiles = std::get_if<Tiles>(&message)) {
            if (i > lastPicture)
                changed += drawTiles(*tiles, out.picture, jpeg, budget, out.pixelsDecoded, stop);
        } else if (const auto *cursor = std::get_if<Cursor>(&message)) {
            PointerMoved moved{QImage(), cursor->hotspot, QPointF(cursor->x, cursor->y)};
            if (!cursor->png.isEmpty()) {
                moved.image = decodePointerShape(cursor->png);
                if (moved.image.isNull())
                    continue;
            }
            out.steps.append(std::move(moved));
        } else if (const auto *hello = std::get_if<Hello>(&message)) {
            show();
            out.steps.append(*hello);
            out.bound = PictureBound::forHello(hello->width, hello->height);
            budget = std::min(budget, PictureBound::answerPixels(out.bound));
        }
    }
    show();
    return out;
}
