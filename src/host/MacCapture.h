#pragma once

#include <QByteArray>
#include <QSizeF>

#include <optional>

class DesktopBackend;
struct ScreenImage;

// The main display as one JPEG picture, scaled down to at most `maxWidth` pixels wide.
namespace MacCapture {

struct Picture
{
    QByteArray jpeg;
    QSizeF size; // pixels: the display's when unscaled, the target's when scaled
};

// quality is 0..1 (0.42 -> JPEG quality 42). No picture when the display image cannot be
// taken or cannot be encoded.
std::optional<Picture> jpeg(DesktopBackend &backend, double maxWidth, double quality);
std::optional<Picture> jpeg(const ScreenImage &image, double maxWidth, double quality);

} // namespace MacCapture
