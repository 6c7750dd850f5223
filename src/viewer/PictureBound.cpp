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

} // namespace PictureBound
