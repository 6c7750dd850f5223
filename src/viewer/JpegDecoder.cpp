#include "JpegDecoder.h"

#include <QtGlobal>

#include <turbojpeg.h>

namespace {

// A header of a few bytes may claim 65535 x 65535 pixels (16 GiB of RGB32). Refuse anything
// beyond 256 MiB of image, the same bound Qt's own image reader applies; the largest displays
// stay well inside it.
constexpr qint64 maxPixels = qint64(8192) * 8192;

// Format_RGB32 is 0xffRRGGBB per pixel word; TurboJPEG fills the X byte with 0xFF.
constexpr TJPF rgb32Layout = Q_BYTE_ORDER == Q_LITTLE_ENDIAN ? TJPF_BGRX : TJPF_XRGB;

} // namespace

JpegDecoder::JpegDecoder()
    : m_handle(tjInitDecompress())
{
}

JpegDecoder::~JpegDecoder()
{
    if (m_handle)
        tjDestroy(static_cast<tjhandle>(m_handle));
}

QImage JpegDecoder::decode(QByteArrayView jpeg)
{
    auto *handle = static_cast<tjhandle>(m_handle);
    if (!handle || jpeg.isEmpty())
        return {};
    const auto *data = reinterpret_cast<const unsigned char *>(jpeg.data());
    const auto size = static_cast<unsigned long>(jpeg.size());

    int width = 0;
    int height = 0;
    int subsampling = 0;
    int colorspace = 0;
    if (tjDecompressHeader3(handle, data, size, &width, &height, &subsampling, &colorspace) != 0)
        return {};
    if (width <= 0 || height <= 0 || qint64(width) * height > maxPixels)
        return {};

    QImage image(width, height, QImage::Format_RGB32);
    if (image.isNull())
        return {};
    if (tjDecompress2(handle, data, size, image.bits(), width, static_cast<int>(image.bytesPerLine()), height,
                      rgb32Layout, 0)
        != 0) {
        // A warning (for example a truncated scan) still leaves a whole, partly grey picture;
        // only a real error means there is nothing to show.
        if (tjGetErrorCode(handle) != TJERR_WARNING)
            return {};
    }
    return image;
}
