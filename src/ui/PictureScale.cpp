#include "PictureScale.h"

#include <algorithm>
#include <cmath>

namespace {

// A hello's size may be in fractions of a point, or absurd: bounded to what a widget can be.
constexpr double largestSide = 16384;

int side(double value)
{
    return int(std::clamp(std::ceil(std::isfinite(value) ? value : 1.0), 1.0, largestSide));
}

} // namespace

QSize PictureScale::actualSize(QSizeF remoteSize, QSizeF pictureSize)
{
    const QSizeF size = remoteSize.isEmpty() ? pictureSize : remoteSize;
    return QSize(side(size.width()), side(size.height()));
}
