#pragma once

#include <QByteArrayView>
#include <QImage>

// Decodes JPEG bytes into a QImage (Format_RGB32) with TurboJPEG, straight into the image's
// buffer. Keeps one decompressor for its lifetime. Not copyable; main thread (one thread) only.
class JpegDecoder
{
public:
    JpegDecoder();
    ~JpegDecoder();
    JpegDecoder(const JpegDecoder &) = delete;
    JpegDecoder &operator=(const JpegDecoder &) = delete;

    // A null image when the bytes are not a decodable JPEG.
    QImage decode(QByteArrayView jpeg);

private:
    void *m_handle = nullptr; // tjhandle
};
