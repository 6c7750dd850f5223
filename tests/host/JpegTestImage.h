#pragma once

#include "DesktopCapture.h"
#include "HostSession.h"
#include "MacCapture.h"
#include "ScreenImage.h"

#include <QByteArray>
#include <QRect>
#include <QSize>

#include <turbojpeg.h>

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <optional>
#include <vector>

// Test pictures: a BGRX image of four coloured quadrants, and JPEG decoding back to pixels.
namespace JpegTestImage {

// A whole picture of the main display as a host session sends it: scaled to the session's width
// (MacCapture::pictureImage), encoded at its quality.
struct SessionPicture
{
    QByteArray jpeg;
    QSize size;
};

inline std::optional<SessionPicture> sessionPicture(const ScreenImage &image)
{
    const std::optional<ScreenImage> picture = MacCapture::pictureImage(image, HostSession::pictureMaxWidth);
    if (!picture)
        return std::nullopt;
    std::optional<QByteArray> jpeg = MacCapture::encode(*picture, QRect(), HostSession::pictureQuality);
    if (!jpeg)
        return std::nullopt;
    return SessionPicture{std::move(*jpeg), QSize(picture->width, picture->height)};
}

inline std::optional<SessionPicture> sessionPicture(DesktopCapture &desktop)
{
    const std::optional<ScreenImage> image = desktop.captureMainDisplay();
    return image ? sessionPicture(*image) : std::nullopt;
}

struct Rgb
{
    int r = 0;
    int g = 0;
    int b = 0;
};

inline constexpr std::array<Rgb, 4> quadrantColours{{{220, 30, 30}, {30, 200, 30}, {30, 30, 220}, {230, 200, 30}}};

// Quadrants in reading order: top-left, top-right, bottom-left, bottom-right. `padding` extra
// bytes end every row.
inline ScreenImage quadrants(int width, int height, int padding = 0)
{
    const int stride = width * 4 + padding;
    auto pixels = std::make_shared<std::vector<std::uint8_t>>(static_cast<std::size_t>(stride) * height, 0x5a);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const Rgb &c = quadrantColours[(y >= height / 2 ? 2 : 0) + (x >= width / 2 ? 1 : 0)];
            std::uint8_t *p = pixels->data() + static_cast<std::size_t>(y) * stride + x * 4;
            p[0] = static_cast<std::uint8_t>(c.b);
            p[1] = static_cast<std::uint8_t>(c.g);
            p[2] = static_cast<std::uint8_t>(c.r);
            p[3] = 0;
        }
    }
    return ScreenImage{width, height, stride, pixels->data(), std::shared_ptr<const void>(pixels, pixels->data())};
}

struct Decoded
{
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> rgb;

    Rgb at(int x, int y) const
    {
        const std::uint8_t *p = rgb.data() + (static_cast<std::size_t>(y) * width + x) * 3;
        return {p[0], p[1], p[2]};
    }
};

inline Decoded decode(const QByteArray &jpeg)
{
    Decoded out;
    tjhandle handle = tjInitDecompress();
    int subsampling = 0;
    int colourspace = 0;
    const auto *bytes = reinterpret_cast<const unsigned char *>(jpeg.constData());
    if (tjDecompressHeader3(handle, bytes, static_cast<unsigned long>(jpeg.size()), &out.width, &out.height,
                            &subsampling, &colourspace)
        == 0) {
        out.rgb.resize(static_cast<std::size_t>(out.width) * out.height * 3);
        if (tjDecompress2(handle, bytes, static_cast<unsigned long>(jpeg.size()), out.rgb.data(), out.width, 0,
                          out.height, TJPF_RGB, 0)
            != 0)
            out = {};
    }
    tjDestroy(handle);
    return out;
}

inline bool near(const Rgb &a, const Rgb &b, int tolerance = 16)
{
    return std::abs(a.r - b.r) <= tolerance && std::abs(a.g - b.g) <= tolerance && std::abs(a.b - b.b) <= tolerance;
}

// The JPEG decodes at the expected size and shows the four quadrant colours at their centres.
inline void expectQuadrants(const QByteArray &jpeg, int expectedWidth, int expectedHeight)
{
    const Decoded decoded = decode(jpeg);
    ASSERT_EQ(decoded.width, expectedWidth);
    ASSERT_EQ(decoded.height, expectedHeight);
    const int w = decoded.width;
    const int h = decoded.height;
    const std::array<std::pair<int, int>, 4> centres{{{w / 4, h / 4}, {3 * w / 4, h / 4}, {w / 4, 3 * h / 4},
                                                      {3 * w / 4, 3 * h / 4}}};
    for (std::size_t i = 0; i < centres.size(); ++i) {
        const Rgb seen = decoded.at(centres[i].first, centres[i].second);
        EXPECT_TRUE(near(seen, quadrantColours[i]))
            << "quadrant " << i << ": " << seen.r << "," << seen.g << "," << seen.b;
    }
}

} // namespace JpegTestImage
