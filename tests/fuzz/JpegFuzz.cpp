// Picture decoding as the viewer does it, under a bound. libturbojpeg itself is not instrumented,
// so coverage says little here: the harness checks the decoder's own promises instead, that no
// picture beyond the bound or the display-sized limits ever comes out, and that what does come
// out is a whole RGB32 image of the size its header states.
//
// Input: one byte choosing the bound (0xFF: the decoder's own limits only; otherwise the next two
// bytes give a side of up to 2 KB each, so that large claims are refused quickly), then the JPEG.
#include "FuzzCheck.h"

#include "JpegDecoder.h"

#include <turbojpeg.h>

#include <cstddef>
#include <cstdint>

namespace {

// The size a JPEG header states, read without the decoder under test.
QSize headerSize(QByteArrayView jpeg)
{
    static tjhandle handle = tjInitDecompress();
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

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size < 3)
        return 0;
    const QSize bound = data[0] == 0xFF ? QSize(JpegDecoder::maxSide, JpegDecoder::maxSide)
                                        : QSize(1 + (data[1] << 3 | data[0] >> 5), 1 + (data[2] << 3 | (data[0] & 7)));
    const QByteArrayView jpeg(reinterpret_cast<const char *>(data + 3), static_cast<qsizetype>(size - 3));

    static JpegDecoder decoder;
    const QImage image = decoder.decode(jpeg, bound);
    if (image.isNull())
        return 0;
    FUZZ_CHECK(JpegDecoder::fits(image.size(), bound));
    FUZZ_CHECK(image.width() <= JpegDecoder::maxSide && image.height() <= JpegDecoder::maxSide);
    FUZZ_CHECK(qint64(image.width()) * image.height() <= JpegDecoder::maxPixels);
    FUZZ_CHECK(image.format() == QImage::Format_RGB32);
    FUZZ_CHECK(image.size() == headerSize(jpeg));
    return 0;
}
