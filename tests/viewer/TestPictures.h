#pragma once

#include <QByteArray>
#include <QColor>
#include <QSize>

// Small JPEG pictures made with TurboJPEG for the viewer's tests and benchmark.
namespace TestPictures {

// A picture of one colour, or a horizontal gradient when `gradient` is set (harder to compress,
// closer to a real desktop).
QByteArray jpeg(QSize size, QColor colour, bool gradient = false, int quality = 80);

} // namespace TestPictures
