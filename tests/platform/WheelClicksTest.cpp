#include "WheelClicks.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

namespace {

struct CarryCase
{
    const char *name;
    std::vector<std::int32_t> deltas;
    std::vector<int> clicks; // one per delta
};

void PrintTo(const CarryCase &row, std::ostream *out)
{
    *out << row.name;
}

class WheelClicksCarry : public ::testing::TestWithParam<CarryCase>
{};

// What is left of a delta is carried while the wheel keeps turning the same way, however slowly,
// and only then.
TEST_P(WheelClicksCarry, ClicksFollowThePixels_ForSequence)
{
    WheelClicks wheel;
    std::vector<int> clicks;
    for (const std::int32_t delta : GetParam().deltas)
        clicks.push_back(wheel.take(delta));
    EXPECT_EQ(clicks, GetParam().clicks);
}

std::vector<int> lastOf(int count, int last)
{
    std::vector<int> clicks(static_cast<std::size_t>(count), 0);
    clicks.back() = last;
    return clicks;
}

INSTANTIATE_TEST_SUITE_P(
    Sequences, WheelClicksCarry,
    ::testing::Values(CarryCase{"SmallDeltasAddUp", {-30, -30, -30}, {0, -1, -1}},
                      CarryCase{"UpIsPositive", {25, 25, 40}, {0, 1, 1}},
                      CarryCase{"ReversalDropsTheCarry", {-30, 30, 20}, {0, 0, 1}},
                      // A viewer that sends 3 pixels per event, at whatever pace: the fourteenth
                      // makes the click.
                      CarryCase{"ThreePixelDeltasAddUp", std::vector<std::int32_t>(14, -3), lastOf(14, -1)},
                      CarryCase{"CappedWithNothingCarried", {-2000000000, -30}, {-25, 0}},
                      CarryCase{"ZeroKeepsTheCarry", {-30, 0, -10}, {0, 0, -1}}),
    [](const auto &info) { return std::string(info.param.name); });

} // namespace
