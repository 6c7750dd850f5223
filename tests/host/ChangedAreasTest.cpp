// Which areas of a picture are sent as tiles: on the cell grid, clipped at the picture's edges,
// merged while few, and the whole picture instead when most of it changed.
#include "ChangedAreas.h"
#include "ScreenImage.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

namespace {

// 200 x 120: neither side a multiple of the cell, so the last column and row of cells are cut.
constexpr int pictureWidth = 200;
constexpr int pictureHeight = 120;

// A picture of one shade with the given rectangles painted over; rows padded as a capture's are.
ScreenImage picture(const std::vector<QRect> &painted = {}, int width = pictureWidth, int height = pictureHeight)
{
    const int stride = width * 4 + 8;
    auto pixels = std::make_shared<std::vector<std::uint8_t>>(std::size_t(stride) * height, 0x40);
    for (const QRect &rect : painted)
        for (int y = rect.top(); y <= rect.bottom(); ++y)
            for (int x = rect.left(); x <= rect.right(); ++x)
                (*pixels)[std::size_t(y) * stride + std::size_t(x) * 4 + 2] = 0xc0;
    return ScreenImage{width, height, stride, pixels->data(), pixels};
}

struct AreasCase
{
    const char *name;
    std::vector<QRect> painted;
    std::optional<QList<QRect>> areas; // none: the whole picture
};

void PrintTo(const AreasCase &row, std::ostream *out)
{
    *out << row.name;
}

class ChangedAreasFind : public ::testing::TestWithParam<AreasCase>
{
};

TEST_P(ChangedAreasFind, CellsOnTheGrid_MergedAndClipped)
{
    EXPECT_EQ(ChangedAreas::find(picture(), picture(GetParam().painted)), GetParam().areas);
}

INSTANTIATE_TEST_SUITE_P(
    Changes, ChangedAreasFind,
    ::testing::Values(
        AreasCase{"Nothing", {}, QList<QRect>{}},
        AreasCase{"OnePixel_ItsCell", {QRect(40, 40, 1, 1)}, QList<QRect>{QRect(32, 32, 32, 32)}},
        AreasCase{"AcrossACellBorder_BothCellsAsOne", {QRect(60, 40, 8, 2)}, QList<QRect>{QRect(32, 32, 64, 32)}},
        // Cells in two rows that do not line up still make one area: the unchanged cell that
        // comes along costs less than a second JPEG.
        AreasCase{"StairOfCells_OneArea", {QRect(40, 40, 40, 1), QRect(40, 70, 1, 1)}, QList<QRect>{QRect(32, 32, 64, 64)}},
        AreasCase{"FarApart_TwoAreas", {QRect(2, 2, 1, 1), QRect(150, 70, 1, 1)},
                  QList<QRect>{QRect(0, 0, 32, 32), QRect(128, 64, 32, 32)}},
        AreasCase{"LastCellOfBothSides_ClippedToThePicture", {QRect(199, 119, 1, 1)}, QList<QRect>{QRect(192, 96, 8, 24)}},
        AreasCase{"LargeChange_WholePicture", {QRect(0, 0, 200, 60)}, std::nullopt}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(ChangedAreas, OtherSizeOrNoPicture_WholePicture)
{
    EXPECT_EQ(ChangedAreas::find(picture(), picture({}, pictureWidth, pictureHeight + 1)), std::nullopt);
    EXPECT_EQ(ChangedAreas::find(ScreenImage{}, picture()), std::nullopt);
}

// A change scattered over many cells (but not a large share of the picture) is merged into a
// few areas that together still cover every changed pixel.
TEST(ChangedAreas, ScatteredChange_FewAreasCoveringEveryChange)
{
    constexpr int side = 1024;
    std::vector<QRect> painted;
    // Cells five apart each way: too far to merge for their own sake, so only the limit merges them.
    for (int y = 5; y < side; y += 160)
        for (int x = 9 + (y / 160 % 3) * 20; x < side; x += 160)
            painted.emplace_back(x, y, 3, 3);
    const std::optional<QList<QRect>> areas = ChangedAreas::find(picture({}, side, side), picture(painted, side, side));
    ASSERT_TRUE(areas);
    EXPECT_LE(areas->size(), ChangedAreas::maxAreas);
    for (const QRect &change : painted) {
        bool covered = false;
        for (const QRect &area : *areas)
            covered = covered || area.contains(change);
        EXPECT_TRUE(covered) << change.x() << "," << change.y();
    }
    for (qsizetype i = 0; i < areas->size(); ++i) {
        EXPECT_EQ(areas->at(i).x() % 16, 0);
        EXPECT_EQ(areas->at(i).y() % 16, 0);
        for (qsizetype j = i + 1; j < areas->size(); ++j)
            EXPECT_FALSE(areas->at(i).intersects(areas->at(j)));
    }
}

} // namespace
