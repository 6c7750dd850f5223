#include "CursorShare.h"

#include <QImage>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using SessionProtocol::Cursor;

QImage shapeOf(int width, int height)
{
    QImage image(width, height, QImage::Format_ARGB32_Premultiplied);
    image.fill(QColor(0, 0, 0));
    return image;
}

// One pass: the pointer as the desktop reports it, or forget() (a hello, a push refused).
struct Pass
{
    bool forget = false;
    QPointF position;
    std::uint64_t shape = 0;
    QSize imageSize; // empty: the desktop did not read the shape again
};

// What each pass sends: "-" nothing, "x,y" a position, "x,y+WxH" with a shape of that size.
struct ShareCase
{
    const char *name;
    std::vector<Pass> passes;
    std::vector<std::string> sent;
};

void PrintTo(const ShareCase &row, std::ostream *out)
{
    *out << row.name;
}

class CursorShareNext : public ::testing::TestWithParam<ShareCase> {};

// On a 200 x 100 display at (100, 50).
TEST_P(CursorShareNext, Passes_SendShapeOnceAndPositionOnlyWhenMoved)
{
    const DisplayGeometry display{200, 100, 100, 50};
    CursorShare share;
    std::vector<std::string> sent;
    for (const Pass &pass : GetParam().passes) {
        if (pass.forget) {
            share.forget();
            continue;
        }
        DesktopCursor now{pass.position, pass.shape, pass.imageSize.isEmpty() ? QImage() : shapeOf(pass.imageSize.width(), pass.imageSize.height()),
                          QPoint(1, 1)};
        const std::optional<Cursor> message = share.next(now, display);
        if (!message) {
            sent.push_back("-");
            continue;
        }
        std::string line = QStringLiteral("%1,%2").arg(message->x).arg(message->y).toStdString();
        if (!message->png.isEmpty()) {
            QImage png;
            EXPECT_TRUE(png.loadFromData(message->png, "PNG"));
            line += QStringLiteral("+%1x%2").arg(png.width()).arg(png.height()).toStdString();
        }
        sent.push_back(line);
    }
    EXPECT_EQ(sent, GetParam().sent);
}

INSTANTIATE_TEST_SUITE_P(
    Table, CursorShareNext,
    ::testing::Values(
        ShareCase{"NoShapeYet_NothingSent", {{false, {200, 100}, 0, {}}}, {"-"}},
        ShareCase{"ShapeThenStill_SentOnce", {{false, {200, 100}, 1, {16, 24}}, {false, {200, 100}, 1, {}}}, {"0.5,0.5+16x24", "-"}},
        ShareCase{"Moves_PositionOnly", {{false, {100, 50}, 1, {16, 24}}, {false, {300, 150}, 1, {}}, {false, {300, 150}, 1, {}}},
                  {"0,0+16x24", "1,1", "-"}},
        // The desktop reads the same shape again (a theme that reloads it): nothing new.
        ShareCase{"SameShapeReadAgain_NotResent", {{false, {100, 50}, 1, {16, 24}}, {false, {100, 50}, 1, {16, 24}}}, {"0,0+16x24", "-"}},
        ShareCase{"NewShape_SentWithPosition", {{false, {100, 50}, 1, {16, 24}}, {false, {100, 50}, 2, {32, 32}}},
                  {"0,0+16x24", "0,0+32x32"}},
        ShareCase{"Forgotten_AllAgain", {{false, {100, 50}, 1, {16, 24}}, {true}, {false, {100, 50}, 1, {}}}, {"0,0+16x24", "0,0+16x24"}},
        // On another display: the position as it is, outside 0..1.
        ShareCase{"OffTheMainDisplay_OutsideTheRange", {{false, {0, 50}, 1, {16, 24}}}, {"-0.5,0+16x24"}},
        ShareCase{"LargestShape_Sent", {{false, {100, 50}, 1, {256, 256}}}, {"0,0+256x256"}},
        // Too large a shape: an empty one, so the viewer stops drawing the one before.
        ShareCase{"TooWide_EmptyShape", {{false, {100, 50}, 1, {16, 24}}, {false, {100, 50}, 2, {257, 16}}},
                  {"0,0+16x24", "0,0+1x1"}},
        ShareCase{"TooTall_EmptyShape", {{false, {100, 50}, 1, {16, 300}}}, {"0,0+1x1"}}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(CursorShare, NoDisplay_NothingSent)
{
    CursorShare share;
    EXPECT_FALSE(share.next(DesktopCursor{{0, 0}, 1, shapeOf(8, 8), {}}, DisplayGeometry{}));
}

} // namespace
