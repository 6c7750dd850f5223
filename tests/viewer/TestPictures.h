#pragma once

#include <QByteArray>
#include <QColor>
#include <QSize>

// Small JPEG pictures made with TurboJPEG for the viewer's tests and benchmark.
namespace TestPictures {

// A picture of one colour, or a horizontal gradient when `gradient` is set (harder to compress,
// closer to a real desktop).
QByteArray jpeg(QSize size, QColor colour, bool gradient = false, int quality = 80);

// 107 bytes that state a 7680 x 4320 picture, the most the decoder takes: one grey, written by
// libjpeg with arithmetic coding (cinfo.arith_code, quality 50, no JFIF header), which codes a
// picture of one colour in next to nothing. A few of them cost a viewer whole 8K decodes.
QByteArray tinyEightK();

} // namespace TestPictures
