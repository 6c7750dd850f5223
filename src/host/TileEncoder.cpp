#include "TileEncoder.h"

#include "MacCapture.h"
#include "ScreenImage.h"

namespace TileEncoder {

std::optional<SessionProtocol::Tiles> encode(const ScreenImage &picture, const QList<QRect> &areas, double quality)
{
    // Sizes and places travel as 16-bit numbers.
    constexpr int largestSide = 0xffff;
    if (areas.isEmpty() || picture.width > largestSide || picture.height > largestSide)
        return std::nullopt;
    SessionProtocol::Tiles tiles;
    tiles.pictureSize = QSize(picture.width, picture.height);
    tiles.tiles.reserve(areas.size());
    for (const QRect &area : areas) {
        // An empty area would make MacCapture encode the whole picture.
        if (area.isEmpty())
            return std::nullopt;
        std::optional<QByteArray> jpeg = MacCapture::encode(picture, area, quality);
        if (!jpeg)
            return std::nullopt;
        tiles.tiles.append(SessionProtocol::Tile{area.topLeft(), std::move(*jpeg)});
    }
    return tiles;
}

} // namespace TileEncoder
