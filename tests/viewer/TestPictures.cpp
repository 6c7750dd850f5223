#include "TestPictures.h"

#include <turbojpeg.h>

#include <vector>

namespace TestPictures {

QByteArray jpeg(QSize size, QColor colour, bool gradient, int quality)
{
    const int width = size.width();
    const int height = size.height();
    std::vector<unsigned char> rgb(size_t(width) * height * 3);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            unsigned char *pixel = &rgb[(size_t(y) * width + x) * 3];
            const int shade = gradient ? (x * 255 / std::max(1, width - 1) + y) % 256 : 0;
            pixel[0] = static_cast<unsigned char>((colour.red() + shade) % 256);
            pixel[1] = static_cast<unsigned char>((colour.green() + shade / 2) % 256);
            pixel[2] = static_cast<unsigned char>(colour.blue());
        }
    }
    tjhandle handle = tjInitCompress();
    unsigned char *out = nullptr;
    unsigned long outSize = 0;
    QByteArray bytes;
    if (tjCompress2(handle, rgb.data(), width, 0, height, TJPF_RGB, &out, &outSize, TJSAMP_420, quality, 0) == 0)
        bytes = QByteArray(reinterpret_cast<const char *>(out), static_cast<qsizetype>(outSize));
    tjFree(out);
    tjDestroy(handle);
    return bytes;
}

QByteArray tinyEightK()
{
    return QByteArray::fromHex("ffd8ffdb004300100b0c0e0c0a100e0d0e1211101318281a181616183123251d283a333d3c3933383740485c4e"
                               "404457453738506d51575f626768673e4d71797064785c656763ffc9000b0810e01e0001011100ffcc0006"
                               "00101005ffda0008010100003f001eb780ffd9");
}

} // namespace TestPictures
