#pragma once

#include <QByteArrayView>
#include <QImage>
#include <QSize>

// Decodes JPEG bytes into a QImage (Format_RGB32) with TurboJPEG, straight into the image's
// buffer. Keeps one decompressor for its lifetime. Not copyable; one thread at a time.
class JpegDecoder
{
public:
    // Pictures of the largest displays in use (8K, either way round) and nothing beyond: a
    // header of a few bytes may claim 65535 x 65535 pixels, 16 GiB of image to allocate and fill.
    static constexpr int maxSide = 8192;
    static constexpr qint64 maxPixels = qint64(7680) * 4320;

    JpegDecoder();
    ~JpegDecoder();
    JpegDecoder(const JpegDecoder &) = delete;
    JpegDecoder &operator=(const JpegDecoder &) = delete;

    // A null image when the bytes are not a decodable JPEG, or when the size its header states
    // is wider or taller than `bound` or beyond the limits above. The size is checked before any
    // pixel is allocated or decoded.
    QImage decode(QByteArrayView jpeg, QSize bound = QSize(maxSide, maxSide));

    // The size the JPEG's header states, read without decoding a pixel; an empty size when the
    // bytes do not start as a JPEG.
    QSize headerSize(QByteArrayView jpeg);

    // Whether a picture of this size may be decoded within `bound`.
    static bool fits(QSize size, QSize bound);

private:
    void *m_handle = nullptr; // tjhandle
};
