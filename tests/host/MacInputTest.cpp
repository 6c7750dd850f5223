#include "DisplayGeometry.h"
#include "HostInputQueue.h"
#include "MacInput.h"
#include "RecordingDesktop.h"
#include "RemoteInput.h"

#include <gtest/gtest.h>

#include <limits>
#include <ostream>
#include <variant>
#include <vector>

namespace {

using Kind = RemoteInput::Kind;

struct Key
{
    QString codeName;
    QString key;
    bool down = true;
    KeyModifiers modifiers = {};
};

using Step = std::variant<RemoteInput, Key>;

RemoteInput pointer(Kind kind, double x, double y, std::int64_t button = 0, std::int64_t clickCount = 1,
                    KeyModifiers modifiers = {})
{
    RemoteInput input;
    input.kind = kind;
    input.x = x;
    input.y = y;
    input.button = button;
    input.clickCount = clickCount;
    input.modifiers = modifiers;
    return input;
}

RemoteInput wheel(double x, double y, double deltaY)
{
    RemoteInput input = pointer(Kind::wheel, x, y);
    input.deltaY = deltaY;
    return input;
}

struct Sequence
{
    const char *name;
    std::vector<Step> steps;
    QStringList expected;
    DisplayGeometry geometry{1512, 982, 0, 0};
};

void PrintTo(const Sequence &sequence, std::ostream *out)
{
    *out << sequence.name;
}

class MacInputSequence : public ::testing::TestWithParam<Sequence>
{
protected:
    void SetUp() override { MacInput::setLeftDown(false); }
    void TearDown() override { MacInput::setLeftDown(false); }
};

TEST_P(MacInputSequence, PostsExpectedEvents_ForSteps)
{
    const Sequence &sequence = GetParam();
    RecordingDesktop desktop;
    for (const Step &step : sequence.steps) {
        if (const auto *input = std::get_if<RemoteInput>(&step)) {
            MacInput::apply(desktop, *input, sequence.geometry);
        } else {
            // Keys go the way the host's session sends them: through its input queue, which types
            // a key without a name of its own as text.
            const Key &key = std::get<Key>(step);
            HostInputQueue queue;
            queue.append(SessionProtocol::Key{key.codeName, key.key, key.down, key.modifiers});
            queue.applyPass(desktop, sequence.geometry);
        }
    }
    EXPECT_EQ(desktop.calls, sequence.expected);
}

const double nan = std::numeric_limits<double>::quiet_NaN();
const double inf = std::numeric_limits<double>::infinity();

INSTANTIATE_TEST_SUITE_P(
    Cases, MacInputSequence,
    ::testing::Values(
        Sequence{"CentreOfDisplay",
                 {pointer(Kind::move, 0.5, 0.5)},
                 {"warp 756,491", "mouse moved 756,491 state 1"}},
        Sequence{"DisplayAwayFromOrigin",
                 {pointer(Kind::move, 0.25, 1)},
                 {"warp -1440,1180", "mouse moved -1440,1180 state 1"},
                 DisplayGeometry{1920, 1080, -1920, 100}},
        Sequence{"DragThenPlainMove",
                 {pointer(Kind::down, 0, 0), pointer(Kind::move, 0.5, 0), pointer(Kind::up, 0.5, 0),
                  pointer(Kind::move, 1, 1)},
                 {"warp 0,0", "mouse moved 0,0 state 1", "warp 0,0", "mouse leftDown 0,0 state 1",
                  "warp 756,0", "mouse leftDragged 756,0 state 1", "warp 756,0", "mouse leftUp 756,0 state 1",
                  "warp 1512,982", "mouse moved 1512,982 state 1"}},
        Sequence{"DoubleClickState",
                 {pointer(Kind::down, 0, 0, 0, 2), pointer(Kind::up, 0, 0, 0, 2)},
                 {"warp 0,0", "mouse moved 0,0 state 2", "warp 0,0", "mouse leftDown 0,0 state 2",
                  "warp 0,0", "mouse leftUp 0,0 state 2"}},
        Sequence{"ZeroClickCountIsOne",
                 {pointer(Kind::down, 0, 0, 0, 0), pointer(Kind::up, 0, 0, 0, -5)},
                 {"warp 0,0", "mouse moved 0,0 state 1", "warp 0,0", "mouse leftDown 0,0 state 1",
                  "warp 0,0", "mouse leftUp 0,0 state 1"}},
        Sequence{"RightButtonMovesStayPlain",
                 {pointer(Kind::down, 0, 0, 1), pointer(Kind::move, 0, 0, 1), pointer(Kind::up, 0, 0, 1)},
                 {"warp 0,0", "mouse moved 0,0 state 1", "warp 0,0", "mouse rightDown 0,0 state 1",
                  "warp 0,0", "mouse moved 0,0 state 1", "warp 0,0", "mouse rightUp 0,0 state 1"}},
        Sequence{"OtherButtonPressesLeftWithoutDrag",
                 {pointer(Kind::down, 0, 0, 7), pointer(Kind::move, 0, 0)},
                 {"warp 0,0", "mouse moved 0,0 state 1", "warp 0,0", "mouse leftDown 0,0 state 1",
                  "warp 0,0", "mouse moved 0,0 state 1"}},
        Sequence{"WheelDoesNotWarp", {wheel(0.5, 0.5, -3)}, {"scroll -3 756,491"}},
        Sequence{"WheelTruncatesTowardZero",
                 {wheel(0, 0, 2.9), wheel(0, 0, -2.9)},
                 {"scroll 2 0,0", "scroll -2 0,0"}},
        Sequence{"WheelOutOfRangeIsClamped",
                 {wheel(0, 0, nan), wheel(0, 0, inf), wheel(0, 0, -inf), wheel(0, 0, 1e12),
                  wheel(0, 0, -2147483648.0)},
                 {"scroll 0 0,0", "scroll 2147483647 0,0", "scroll -2147483648 0,0",
                  "scroll 2147483647 0,0", "scroll -2147483648 0,0"}},
        Sequence{"ArrowLeftInAnyCase",
                 {Key{"ArrowLEFT", "", true}, Key{"arrowleft", "", false}},
                 {"key arrowleft down", "key arrowleft up"}},
        Sequence{"NamedKeyIgnoresItsText", {Key{"Enter", "x", true}}, {"key enter down"}},
        Sequence{"KeyWithoutCodeTypesOnPressOnly",
                 {Key{"KeyA", "a", true}, Key{"KeyA", "a", false}, Key{"", "", true}},
                 {"text a"}},
        Sequence{"ModifiersHeldAroundTheClickOnly",
                 {pointer(Kind::down, 0, 0, 0, 1, {KeyModifier::Control}), pointer(Kind::up, 0, 0)},
                 {"hold control", "warp 0,0", "mouse moved 0,0 state 1", "warp 0,0", "mouse leftDown 0,0 state 1",
                  "hold ", "warp 0,0", "mouse leftUp 0,0 state 1"}},
        Sequence{"ShortcutHoldsItsModifiersAroundItsKey",
                 {Key{"", "c", true, {KeyModifier::Control, KeyModifier::Shift}}, Key{"", "c", false, {KeyModifier::Control}}},
                 {"hold shift+control", "text c", "hold "}},
        Sequence{"NamedKeyPressWithModifiersReleaseWithout",
                 {Key{"Tab", "", true, {KeyModifier::Alt}}, Key{"tab", "", false, {KeyModifier::Alt}}},
                 {"hold alt", "key tab down", "hold ", "key tab up"}},
        Sequence{"TextOfSeveralCharactersInOneCall",
                 {Key{"", QStringLiteral("h\u00e9\u20ac\U0001F600"), true}},
                 {QStringLiteral("text h\u00e9\u20ac\U0001F600")}}),
    [](const auto &info) { return std::string(info.param.name); });

} // namespace
