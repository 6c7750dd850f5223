#include "MacCapture.h"

#include "ScreenImage.h"

#include <libyuv/scale_argb.h>
#include <turbojpeg.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <new>
#include <vector>

namespace {

constexpr double minimumWidth = 640;
constexpr double minimumHeight = 400;
// Pictures at most about 2 % wider than asked are sent as they are: scaling them would only
// blur the text for a negligible saving.
constexpr double unscaledThreshold = 0.98;

struct TurboJpegDeleter
{
    void operator()(void *handle) const { tjDestroy(handle); }
};

// Each thread that encodes (a session's worker, a benchmark's main thread) keeps one compressor:
// re-creating the encoder state on every frame would cost more than the frame.
tjhandle compressor()
{
    thread_local std::unique_ptr<void, TurboJpegDeleter> handle(tjInitCompress());
    return handle.get();
}

int jpegQuality(double quality)
{
    const double factor = std::isnan(quality) ? 0.0 : std::clamp(quality, 0.0, 1.0);
    return std::max(1, static_cast<int>(std::lround(factor * 100)));
}

// TurboJPEG writes into a buffer kept between frames and sized for the worst case, instead of
// growing a fresh one by reallocation on every frame.
std::optional<QByteArray> encodeJpeg(const std::uint8_t *pixels, int width, int height, int stride,
                                     int quality)
{
    tjhandle handle = compressor();
    if (!handle)
        return std::nullopt;
    thread_local std::vector<unsigned char> output;
    const unsigned long capacity = tjBufSize(width, height, TJSAMP_420);
    if (capacity == static_cast<unsigned long>(-1))
        return std::nullopt;
    try {
        if (output.size() < capacity)
            output.resize(capacity);
    } catch (const std::bad_alloc &) {
        output = {};
        return std::nullopt;
    }
    unsigned char *buffer = output.data();
    unsigned long size = capacity;
    if (tjCompress2(handle, pixels, width, stride, height, TJPF_BGRX, &buffer, &size, TJSAMP_420,
                    quality, TJFLAG_NOREALLOC)
            != 0
        || size == 0)
        return std::nullopt;
    return QByteArray(reinterpret_cast<const char *>(buffer), static_cast<qsizetype>(size));
}

} // namespace

namespace MacCapture {

std::optional<ScreenImage> pictureImage(const ScreenImage &image, double maxWidth)
{
    if (!image.isUsable())
        return std::nullopt;

    const double w = image.width;
    const double h = image.height;
    const double scale = std::min(1.0, maxWidth / std::max(w, 1.0));

    // Close enough to the wanted width: unscaled.
    if (!(scale < unscaledThreshold))
        return image;

    // Scaled into a canvas of the target size; any failure falls back to the full picture. The
    // floors apply to each side separately, so a very wide or flat display loses its proportions
    // rather than its legibility. Pixel sizes are whole numbers, so the target is rounded
    // (2880 x 1280/2880 must give 1280, not 1279).
    const int tw = static_cast<int>(std::max(minimumWidth, std::round(w * scale)));
    const int th = static_cast<int>(std::max(minimumHeight, std::round(h * scale)));
    const int targetStride = tw * 4;
    std::shared_ptr<std::vector<std::uint8_t>> canvas;
    try {
        canvas = std::make_shared<std::vector<std::uint8_t>>(static_cast<std::size_t>(targetStride) * th);
    } catch (const std::bad_alloc &) {
        return image;
    }
    if (libyuv::ARGBScale(image.pixels, image.stride, image.width, image.height, canvas->data(),
                          targetStride, tw, th, libyuv::kFilterBox)
        != 0)
        return image;
    const std::uint8_t *pixels = canvas->data();
    return ScreenImage{tw, th, targetStride, pixels, std::shared_ptr<const void>(std::move(canvas), pixels)};
}

std::optional<QByteArray> encode(const ScreenImage &picture, QRect area, double quality)
{
    if (!picture.isUsable())
        return std::nullopt;
    const QRect whole(0, 0, picture.width, picture.height);
    if (area.isEmpty())
        area = whole;
    if (!whole.contains(area))
        return std::nullopt;
    const std::uint8_t *first = picture.pixels + static_cast<std::size_t>(area.y()) * picture.stride
        + static_cast<std::size_t>(area.x()) * 4;
    return encodeJpeg(first, area.width(), area.height(), picture.stride, jpegQuality(quality));
}

} // namespace MacCapture
