#include "PictureBound.h"

#include "JpegDecoder.h"

#include <algorithm>
#include <cmath>

namespace {

int sideFor(double points)
{
    return static_cast<int>(std::min(std::ceil(points * PictureBound::pixelsPerPoint), double(JpegDecoder::maxSide)));
}

} // namespace

namespace PictureBound {

QSize beforeHello()
{
    return QSize(JpegDecoder::maxSide, JpegDecoder::maxSide);
}

QSize forHello(double width, double height)
{
    if (!(std::isfinite(width) && std::isfinite(height) && width > 0 && height > 0))
        return beforeHello();
    return QSize(sideFor(width), sideFor(height));
}

qint64 answerPixels(QSize bound)
{
    const qint64 picture = std::min(qint64(std::max(bound.width(), 0)) * std::max(bound.height(), 0), JpegDecoder::maxPixels);
    return picturesPerAnswer * picture;
}

} // namespace PictureBound
