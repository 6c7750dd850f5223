#include "HoverPacing.h"
#include "PointerButtons.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

using namespace std::chrono_literals;

namespace {

struct PacingCase
{
    const char *name;
    // When the last move went, after the start; none: no move went yet.
    std::optional<std::chrono::milliseconds> lastSent;
    std::chrono::milliseconds now;
    std::chrono::milliseconds wait;
};

void PrintTo(const PacingCase &row, std::ostream *out)
{
    *out << row.name;
}

class HoverPacingWait : public ::testing::TestWithParam<PacingCase> {};

TEST_P(HoverPacingWait, Wait_TheRestOfTheInterval)
{
    const HoverPacing::Clock::time_point start{};
    HoverPacing pacing;
    if (GetParam().lastSent)
        pacing.sentAt(start + *GetParam().lastSent);
    EXPECT_EQ(pacing.waitAt(start + GetParam().now), GetParam().wait);
}

static_assert(HoverPacing::interval == 16ms, "about 60 moves a second");

INSTANTIATE_TEST_SUITE_P(
    Table, HoverPacingWait,
    ::testing::Values(PacingCase{"FirstMove_GoesAtOnce", std::nullopt, 0ms, 0ms},
                      PacingCase{"SameInstant_WaitsAWholeInterval", 100ms, 100ms, 16ms},
                      PacingCase{"PartWayThrough_WaitsTheRest", 100ms, 110ms, 6ms},
                      PacingCase{"IntervalOver_GoesAtOnce", 100ms, 116ms, 0ms},
                      PacingCase{"LongAfter_GoesAtOnce", 100ms, 5000ms, 0ms},
                      PacingCase{"ClockBehindTheLastSend_WaitsAWholeInterval", 100ms, 50ms, 16ms}),
    [](const auto &info) { return std::string(info.param.name); });

using Kind = RemoteInput::Kind;

struct ButtonsCase
{
    const char *name;
    std::vector<RemoteInput> inputs;
    // Whether a host without "hover" may be sent each.
    std::vector<bool> sendable;
};

void PrintTo(const ButtonsCase &row, std::ostream *out)
{
    *out << row.name;
}

RemoteInput event(Kind kind, std::int64_t button = 0)
{
    return RemoteInput{kind, 0.5, 0.5, button, 1, 0, 0, {}};
}

class PointerButtonsMoves : public ::testing::TestWithParam<ButtonsCase> {};

TEST_P(PointerButtonsMoves, Move_IsADragOnlyWhileTheLeftButtonIsHeld)
{
    PointerButtons buttons;
    std::vector<bool> sendable;
    for (const RemoteInput &input : GetParam().inputs)
        sendable.push_back(buttons.take(input));
    EXPECT_EQ(sendable, GetParam().sendable);
}

INSTANTIATE_TEST_SUITE_P(
    Table, PointerButtonsMoves,
    ::testing::Values(
        ButtonsCase{"Hover", {event(Kind::move)}, {false}},
        ButtonsCase{"Drag", {event(Kind::down), event(Kind::move), event(Kind::up), event(Kind::move)},
                    {true, true, true, false}},
        ButtonsCase{"RightHeld_IsNoDrag", {event(Kind::down, 1), event(Kind::move), event(Kind::up, 1)}, {true, false, true}},
        // The host takes any button but 1 for the left one.
        ButtonsCase{"UnknownButton_CountsAsLeft", {event(Kind::down, 7), event(Kind::move), event(Kind::up, 0), event(Kind::move)},
                    {true, true, true, false}},
        ButtonsCase{"LeftStillHeldAfterRightReleased",
                    {event(Kind::down), event(Kind::down, 1), event(Kind::up, 1), event(Kind::move)},
                    {true, true, true, true}},
        ButtonsCase{"WheelAlwaysGoes", {event(Kind::wheel)}, {true}}),
    [](const auto &info) { return std::string(info.param.name); });

} // namespace
