#pragma once

#include <cstdint>
#include <memory>

// One full-resolution image of the main display: 32-bit pixels in B, G, R, X byte order
// (X11's native little-endian layout, libyuv's "ARGB"), rows `stride` bytes apart.
// The pixels stay valid as long as `owner` is held.
struct ScreenImage
{
    static constexpr int bytesPerPixel = 4;

    // Pixels to read, in rows at least as long as the image is wide.
    bool isUsable() const
    {
        return pixels && width > 0 && height > 0 && std::int64_t(stride) >= std::int64_t(width) * bytesPerPixel;
    }

    int width = 0;
    int height = 0;
    int stride = 0;
    const std::uint8_t *pixels = nullptr;
    std::shared_ptr<const void> owner;
};
