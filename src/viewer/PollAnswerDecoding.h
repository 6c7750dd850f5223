#pragma once

#include "SessionProtocol.h"

#include <QImage>
#include <QJsonObject>
#include <QList>
#include <QRegion>
#include <QSize>

#include <stop_token>
#include <variant>

// What one poll answer does to the viewer's picture, worked out from values alone so that it can
// run away from the window's thread: the answer's last whole picture and the tiles frames after
// it decoded and drawn, in order, onto the picture the viewer holds, with the hellos in between.
// Every JPEG is checked against the bound by its header before a pixel of it is decoded, and
// all of one answer's JPEGs together are decoded only within PictureBound::answerPixels of the
// bound the answer starts with (or a hello's smaller one); what goes beyond is skipped as if it
// did not decode.
class PollAnswerDecoding
{
public:
    // What the viewer holds before the answer.
    struct Start
    {
        QImage picture;
        QSize bound;
    };
    // A picture once it is whole, and the area of it (in its pixels) that differs from the one
    // published before: all of it when the picture was replaced.
    struct Shown
    {
        QImage picture;
        QRegion changed;
    };
    // The host's pointer moved or changed shape: its new shape (null: the one held stays; a
    // shape that does not decode or is larger than maxCursorSide is dropped, and with it the
    // message), its tip, and where that is, as fractions of the host's display.
    struct PointerMoved
    {
        QImage image;
        QPoint hotspot;
        QPointF position;
    };
    // In the answer's order: a picture is shown before a hello is reported, as the hello's bound
    // is for the pictures after it.
    using Step = std::variant<Shown, SessionProtocol::Hello, PointerMoved>;

    // A cursor message's shape, decoded within its bound; null for anything else.
    static QImage decodePointerShape(const QByteArray &png);

    struct Outcome
    {
        QList<Step> steps;
        // What the viewer holds after the answer: the picture the next tiles are drawn onto, and
        // the bound of the next pictures.
        QImage picture;
        QSize bound;
        // Pixels the JPEG headers stated, of every JPEG that was decoded or tried.
        qint64 pixelsDecoded = 0;
    };

    // Stops between two JPEGs once `stop` is requested; what it returns then is partial, and not
    // to be applied.
    static Outcome decode(const QJsonObject &answer, Start start, const std::stop_token &stop);
    // The same for messages already taken out of an answer (an encrypted session's, opened).
    static Outcome decode(const QList<SessionProtocol::HostMessage> &messages, Start start, const std::stop_token &stop);
};
