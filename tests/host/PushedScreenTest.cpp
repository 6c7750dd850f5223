// Recognising the screen the viewer already has, whatever the row padding of the new image.
#include "PushedScreen.h"
#include "ScreenImage.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

namespace {

// A width x height image of one shade, rows `stride` bytes apart, with one pixel set apart.
ScreenImage image(int width, int height, int stride, int oddX = -1, int oddY = -1)
{
    auto pixels = std::make_shared<std::vector<std::uint8_t>>(std::size_t(stride) * height, 0x40);
    // Padding bytes differ from image to image: they must never count.
    for (int y = 0; y < height; ++y)
        for (int x = width * 4; x < stride; ++x)
            (*pixels)[std::size_t(y) * stride + x] = std::uint8_t(stride + x);
    if (oddX >= 0)
        (*pixels)[std::size_t(oddY) * stride + oddX * 4 + 1] = 0x41;
    return ScreenImage{width, height, stride, pixels->data(), pixels};
}

struct SameCase
{
    const char *name;
    ScreenImage now;
    bool same;
};

void PrintTo(const SameCase &row, std::ostream *out)
{
    *out << row.name;
}

class PushedScreenSame : public ::testing::TestWithParam<SameCase>
{
};

TEST_P(PushedScreenSame, ComparesPixelsOnly_NotPadding)
{
    PushedScreen pushed;
    pushed.remember(image(16, 8, 16 * 4 + 12));
    EXPECT_EQ(pushed.sameAs(GetParam().now), GetParam().same);
}

INSTANTIATE_TEST_SUITE_P(
    Images, PushedScreenSame,
    ::testing::Values(SameCase{"SamePixelsOtherPadding", image(16, 8, 16 * 4), true},
                      SameCase{"OnePixelInLastRowDiffers", image(16, 8, 16 * 4 + 12, 15, 7), false},
                      SameCase{"OnePixelInFirstRowDiffers", image(16, 8, 16 * 4, 0, 0), false},
                      SameCase{"TallerScreen", image(16, 9, 16 * 4), false},
                      SameCase{"NarrowerScreen", image(15, 8, 16 * 4), false}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(PushedScreen, NothingIsSame_BeforeAPicture)
{
    PushedScreen pushed;
    EXPECT_FALSE(pushed.sameAs(image(16, 8, 64)));
    pushed.remember(image(16, 8, 64));
    EXPECT_TRUE(pushed.sameAs(image(16, 8, 64)));
}

} // namespace
