#include "TestPictures.h"

#include "JpegDecoder.h"

#include <gtest/gtest.h>

namespace {

// The picture's size as its frame header states it, rewritten in place.
QByteArray withClaimedSize(QByteArray jpeg, int width, int height)
{
    const qsizetype sof = jpeg.indexOf(QByteArray("\xFF\xC0", 2));
    if (sof < 0)
        return {};
    jpeg[sof + 5] = char(height >> 8);
    jpeg[sof + 6] = char(height & 0xFF);
    jpeg[sof + 7] = char(width >> 8);
    jpeg[sof + 8] = char(width & 0xFF);
    return jpeg;
}

TEST(JpegDecoder, Decode_GivesRgb32PictureOfTheSameColour)
{
    JpegDecoder decoder;
    const QImage image = decoder.decode(TestPictures::jpeg({33, 17}, QColor(200, 40, 90)));
    ASSERT_EQ(image.size(), QSize(33, 17));
    EXPECT_EQ(image.format(), QImage::Format_RGB32);
    const QRgb pixel = image.pixel(16, 8);
    EXPECT_NEAR(qRed(pixel), 200, 6);
    EXPECT_NEAR(qGreen(pixel), 40, 6);
    EXPECT_NEAR(qBlue(pixel), 90, 6);
    EXPECT_EQ(qAlpha(pixel), 255);
}

TEST(JpegDecoder, Decode_RefusesWhatIsNoPicture)
{
    JpegDecoder decoder;
    const QByteArray good = TestPictures::jpeg({64, 64}, Qt::blue);
    EXPECT_TRUE(decoder.decode(QByteArray()).isNull());
    EXPECT_TRUE(decoder.decode("GIF89a not a jpeg").isNull());
    EXPECT_TRUE(decoder.decode(good.left(20)).isNull());
    // A few bytes must not make the viewer allocate and fill gigabytes; just past the bound
    // here, so a broken bound costs this test 324 MB rather than the machine 16 GB.
    const QByteArray huge = withClaimedSize(good, 9000, 9000);
    ASSERT_FALSE(huge.isEmpty());
    EXPECT_TRUE(decoder.decode(huge).isNull());
    // The decoder is still usable afterwards.
    EXPECT_EQ(decoder.decode(good).size(), QSize(64, 64));
}

TEST(JpegDecoder, Decode_TruncatedScanStillGivesTheWholePicture)
{
    JpegDecoder decoder;
    const QByteArray good = TestPictures::jpeg({256, 256}, Qt::red, true);
    EXPECT_EQ(decoder.decode(good.left(good.size() * 2 / 3)).size(), QSize(256, 256));
}

} // namespace
