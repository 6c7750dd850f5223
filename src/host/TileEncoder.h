#pragma once

#include "SessionProtocol.h"

#include <QList>
#include <QRect>

#include <optional>

struct ScreenImage;

// The changed areas of a picture as one tiles frame: each area a JPEG of its own, placed where
// it lies in the picture.
namespace TileEncoder {

// `picture` in the picture's pixels (MacCapture::pictureImage), `areas` within it; quality is
// 0..1 as for whole pictures. None when there is no area or any of them cannot be encoded: the
// viewer must get every changed area or none.
std::optional<SessionProtocol::Tiles> encode(const ScreenImage &picture, const QList<QRect> &areas, double quality);

} // namespace TileEncoder
