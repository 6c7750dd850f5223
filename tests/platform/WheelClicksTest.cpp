#include "WheelClicks.h"

#include <gtest/gtest.h>

#include <chrono>
#include <ostream>
#include <string>
#include <vector>

namespace {

using namespace std::chrono_literals;

struct Delta
{
    std::int32_t pixels;
    std::chrono::milliseconds at; // since the first delta
};

struct CarryCase
{
    const char *name;
    std::vector<Delta> deltas;
    std::vector<int> clicks; // one per delta
};

void PrintTo(const CarryCase &row, std::ostream *out)
{
    *out << row.name;
}

class WheelClicksCarry : public ::testing::TestWithParam<CarryCase>
{};

// What is left of a delta is carried while the wheel keeps turning the same way, and only then.
TEST_P(WheelClicksCarry, ClicksFollowThePixels_ForSequence)
{
    WheelClicks wheel;
    const WheelClicks::Clock::time_point start = WheelClicks::Clock::now();
    std::vector<int> clicks;
    for (const Delta &delta : GetParam().deltas)
        clicks.push_back(wheel.take(delta.pixels, start + delta.at));
    EXPECT_EQ(clicks, GetParam().clicks);
}

INSTANTIATE_TEST_SUITE_P(
    Sequences, WheelClicksCarry,
    ::testing::Values(CarryCase{"SmallDeltasAddUp", {{-30, 0ms}, {-30, 100ms}, {-30, 200ms}}, {0, -1, -1}},
                      CarryCase{"UpIsPositive", {{25, 0ms}, {25, 10ms}, {40, 20ms}}, {0, 1, 1}},
                      CarryCase{"ReversalDropsTheCarry", {{-30, 0ms}, {30, 10ms}, {20, 20ms}}, {0, 0, 1}},
                      CarryCase{"CarryForgottenAfterALull", {{-30, 0ms}, {-30, 1500ms}}, {0, 0}},
                      CarryCase{"CappedWithNothingCarried", {{-2000000000, 0ms}, {-30, 10ms}}, {-25, 0}},
                      CarryCase{"ZeroKeepsTheCarry", {{-30, 0ms}, {0, 10ms}, {-10, 20ms}}, {0, 0, -1}}),
    [](const auto &info) { return std::string(info.param.name); });

} // namespace
