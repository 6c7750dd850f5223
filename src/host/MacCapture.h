#pragma once

#include <QByteArray>
#include <QRect>
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

// The display image in the picture's pixels: `image` itself when it is narrow enough, else scaled
// into a canvas this thread reuses, whose pixels stay valid until its next call (the result holds
// no owner then). Scaling that fails gives `image` itself, as jpeg() would send it. None when
// `image` has no pixels.
std::optional<ScreenImage> pictureImage(const ScreenImage &image, double maxWidth);
// One area of a picture image (the whole of it when `area` is empty), as a JPEG of its own.
// None when the area does not lie within the image or cannot be encoded.
std::optional<QByteArray> encode(const ScreenImage &picture, QRect area, double quality);

} // namespace MacCapture
