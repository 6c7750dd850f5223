#include "X11MainDisplay.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

namespace {

using X11MainDisplay::Output;

struct Layout
{
    const char *name;
    std::vector<Output> outputs;
    QRect expected;
};

void PrintTo(const Layout &row, std::ostream *out)
{
    *out << row.name;
}

const QRect root(0, 0, 4480, 1440);

class X11MainDisplayChoice : public ::testing::TestWithParam<Layout>
{};

TEST_P(X11MainDisplayChoice, PicksMainRectangle_ForLayout)
{
    EXPECT_EQ(X11MainDisplay::choose(GetParam().outputs, root), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, X11MainDisplayChoice,
    ::testing::Values(
        Layout{"PrimaryWins",
               {{true, false, QRect(0, 0, 1920, 1080)}, {true, true, QRect(1920, 0, 2560, 1440)}},
               QRect(1920, 0, 2560, 1440)},
        Layout{"NoPrimaryTakesFirstLit",
               {{false, false, QRect()}, {true, false, QRect()}, {true, false, QRect(1920, 0, 2560, 1440)},
                {true, false, QRect(0, 0, 1920, 1080)}},
               QRect(1920, 0, 2560, 1440)},
        Layout{"DarkPrimaryIsPassedOver",
               {{true, true, QRect()}, {true, false, QRect(0, 0, 1920, 1080)}},
               QRect(0, 0, 1920, 1080)},
        Layout{"DisconnectedPrimaryIsPassedOver",
               {{false, true, QRect(0, 0, 800, 600)}, {true, false, QRect(800, 0, 1920, 1080)}},
               QRect(800, 0, 1920, 1080)},
        Layout{"CrtcReachingPastRootIsClipped",
               {{true, true, QRect(3000, 400, 2560, 1440)}},
               QRect(3000, 400, 1480, 1040)},
        Layout{"NothingReportedMeansRoot", {}, root},
        Layout{"OnlyDarkOutputsMeanRoot", {{true, true, QRect()}, {false, false, QRect(0, 0, 10, 10)}}, root}),
    [](const auto &info) { return std::string(info.param.name); });

} // namespace
