#pragma once

#include <QByteArray>
#include <QRect>

#include <optional>

struct ScreenImage;

// The main display as a picture of at most `maxWidth` pixels wide, and its JPEGs.
namespace MacCapture {

// The display image in the picture's pixels: `image` itself when it is narrow enough, else scaled
// into pixels of its own, which the result owns (any thread may make and keep one). Scaling that
// fails gives `image` itself, sent unscaled. None when `image` has no pixels.
std::optional<ScreenImage> pictureImage(const ScreenImage &image, double maxWidth);
// One area of a picture image (the whole of it when `area` is empty), as a JPEG of its own;
// quality is 0..1 (0.42 -> JPEG quality 42). None when the area does not lie within the image or
// cannot be encoded.
std::optional<QByteArray> encode(const ScreenImage &picture, QRect area, double quality);

} // namespace MacCapture
