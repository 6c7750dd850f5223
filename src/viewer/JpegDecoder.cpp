#include "JpegDecoder.h"

#include <QtGlobal>

#include <turbojpeg.h>

namespace {

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

bool JpegDecoder::fits(QSize size, QSize bound)
{
    const qint64 width = size.width();
    const qint64 height = size.height();
    return width > 0 && height > 0 && width <= maxSide && height <= maxSide && width * height <= maxPixels
        && width <= bound.width() && height <= bound.height();
}

QSize JpegDecoder::headerSize(QByteArrayView jpeg)
{
    auto *handle = static_cast<tjhandle>(m_handle);
    if (!handle || jpeg.isEmpty())
        return {};
    int width = 0;
    int height = 0;
    int subsampling = 0;
    int colorspace = 0;
    if (tjDecompressHeader3(handle, reinterpret_cast<const unsigned char *>(jpeg.data()),
                            static_cast<unsigned long>(jpeg.size()), &width, &height, &subsampling, &colorspace)
        != 0)
        return {};
    return QSize(width, height);
}

QImage JpegDecoder::decode(QByteArrayView jpeg, QSize bound)
{
    auto *handle = static_cast<tjhandle>(m_handle);
    if (!handle || jpeg.isEmpty())
        return {};
    const auto *data = reinterpret_cast<const unsigned char *>(jpeg.data());
    const auto size = static_cast<unsigned long>(jpeg.size());

    const QSize stated = headerSize(jpeg);
    if (!fits(stated, bound))
        return {};
    const int width = stated.width();
    const int height = stated.height();

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
