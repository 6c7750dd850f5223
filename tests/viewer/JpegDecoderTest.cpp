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
    // The decoder is still usable afterwards.
    EXPECT_EQ(decoder.decode(good).size(), QSize(64, 64));
}

// What a header may claim: a few bytes must not make the viewer allocate and fill hundreds of
// megabytes. Every refused size is refused from the header alone, so a broken bound costs this
// test at most 256 MB rather than the machine 16 GB.
struct BoundCase
{
    const char *name;
    QSize claimed;
    QSize bound; // empty: the decoder's own limits only
    bool decoded;

    friend void PrintTo(const BoundCase &row, std::ostream *out) { *out << row.name; }
};

class JpegDecoderBound : public ::testing::TestWithParam<BoundCase>
{
};

TEST_P(JpegDecoderBound, Decode_RefusesPicturesBeyondTheBound)
{
    const BoundCase &c = GetParam();
    JpegDecoder decoder;
    const QByteArray jpeg = withClaimedSize(TestPictures::jpeg({64, 48}, Qt::blue), c.claimed.width(), c.claimed.height());
    ASSERT_FALSE(jpeg.isEmpty());

    const QImage image = c.bound.isEmpty() ? decoder.decode(jpeg) : decoder.decode(jpeg, c.bound);

    EXPECT_EQ(image.isNull(), !c.decoded);
    if (c.decoded)
        EXPECT_EQ(image.size(), c.claimed);
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, JpegDecoderBound,
    ::testing::Values(BoundCase{"WithinTheBound", {64, 48}, {64, 48}, true},
                      BoundCase{"WiderThanTheBound", {64, 48}, {63, 48}, false},
                      BoundCase{"TallerThanTheBound", {64, 48}, {64, 47}, false},
                      BoundCase{"EightKSquare", {8192, 8192}, {}, false},
                      BoundCase{"PastEightKPixels", {4321, 7680}, {}, false},
                      BoundCase{"PastTheLongestSide", {8193, 16}, {}, false},
                      BoundCase{"HugeClaim", {65535, 65535}, {}, false}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(JpegDecoder, Decode_TruncatedScanStillGivesTheWholePicture)
{
    JpegDecoder decoder;
    const QByteArray good = TestPictures::jpeg({256, 256}, Qt::red, true);
    EXPECT_EQ(decoder.decode(good.left(good.size() * 2 / 3)).size(), QSize(256, 256));
}

} // namespace
