#include "JpegTestImage.h"
#include "MacCapture.h"
#include "RecordingDesktop.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>

namespace {

using namespace JpegTestImage;

struct SizeCase
{
    const char *name;
    int width;
    int height;
    int expectedWidth;
    int expectedHeight;
};

void PrintTo(const SizeCase &row, std::ostream *out)
{
    *out << row.name;
}

class MacCaptureSize : public ::testing::TestWithParam<SizeCase>
{};

// Rows carry padding so that a stride mistake shows up as sheared or wrong colours.
TEST_P(MacCaptureSize, PictureHasTargetSizeAndQuadrantColours_ForDisplaySize)
{
    const SizeCase &c = GetParam();
    RecordingDesktop desktop;
    desktop.image = quadrants(c.width, c.height, 12);

    const std::optional<SessionPicture> picture = sessionPicture(desktop);

    ASSERT_TRUE(picture);
    EXPECT_EQ(picture->size, QSize(c.expectedWidth, c.expectedHeight));
    expectQuadrants(picture->jpeg, c.expectedWidth, c.expectedHeight);
}

INSTANTIATE_TEST_SUITE_P(Displays, MacCaptureSize,
                         ::testing::Values(SizeCase{"Retina", 2880, 1800, 1280, 800},
                                           SizeCase{"SlightlyWider", 1300, 812, 1300, 812},
                                           SizeCase{"AtTheThreshold", 1306, 816, 1306, 816},
                                           SizeCase{"JustPastTheThreshold", 1307, 800, 1280, 783},
                                           SizeCase{"NarrowerThanFloor", 500, 300, 500, 300},
                                           SizeCase{"UltraWide", 5120, 1440, 1280, 400},
                                           SizeCase{"FlatStrip", 3000, 200, 1280, 400}),
                         [](const auto &info) { return std::string(info.param.name); });

// The unscaled picture is exactly what TurboJPEG makes of the display at quality 42.
TEST(MacCapture, EncodesAtQualityFromFactor_WhenUnscaled)
{
    const ScreenImage image = quadrants(800, 600);
    const std::optional<SessionPicture> picture = sessionPicture(image);
    ASSERT_TRUE(picture);

    tjhandle handle = tjInitCompress();
    unsigned char *bytes = nullptr;
    unsigned long size = 0;
    ASSERT_EQ(tjCompress2(handle, image.pixels, image.width, image.stride, image.height, TJPF_BGRX, &bytes, &size,
                          TJSAMP_420, 42, 0),
              0);
    const QByteArray reference(reinterpret_cast<const char *>(bytes), static_cast<qsizetype>(size));
    tjFree(bytes);
    tjDestroy(handle);
    EXPECT_EQ(picture->jpeg, reference);
}

TEST(MacCapture, GivesNoPicture_WhenDisplayImageUnavailable)
{
    RecordingDesktop desktop;
    EXPECT_FALSE(sessionPicture(desktop));

    desktop.image = ScreenImage{2880, 1800, 2880 * 4, nullptr, nullptr};
    EXPECT_FALSE(sessionPicture(desktop));

    ScreenImage shortRows = quadrants(64, 64);
    shortRows.stride = 64;
    EXPECT_FALSE(sessionPicture(shortRows));
}

} // namespace
