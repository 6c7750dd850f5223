#pragma once

#include <QSize>
#include <QtGlobal>

// The largest picture the viewer decodes from its host. This program's host scales pictures to
// at most 1280 wide, but other and older hosts send the whole display in pixels while their
// hello gives its size in points, up to three pixels per point on the displays in use. A picture
// beyond that is broken or hostile: a few bytes of header would otherwise cost the viewer
// hundreds of megabytes and a long decode, once per picture.
namespace PictureBound {

inline constexpr double pixelsPerPoint = 3;

// Before the hello: what the decoder accepts at most (a display-sized bound).
QSize beforeHello();
// Once the hello has named the display's size in points; a size that is not positive and finite
// leaves the bound before the hello.
QSize forHello(double width, double height);

// One poll answer may carry many pictures and tiles frames, each within the bound: together they
// are decoded only up to this many whole pictures of the bound's size. A host streaming as it
// should sends far less per answer; a hostile one would otherwise have the viewer decode a
// hundred bounded pictures for every answer.
inline constexpr int picturesPerAnswer = 2;
// The pixels one answer may have decoded under `bound`, all its pictures and tiles together.
qint64 answerPixels(QSize bound);

} // namespace PictureBound
