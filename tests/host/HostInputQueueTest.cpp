// The host's input queue with a recording desktop: order, slices of text per pass, limits.
#include "DisplayGeometry.h"
#include "HostInputQueue.h"
#include "MacInput.h"
#include "RecordingDesktop.h"

#include <gtest/gtest.h>

#include <functional>
#include <limits>
#include <ostream>

namespace {

using namespace SessionProtocol;
using Kind = RemoteInput::Kind;

const DisplayGeometry geometry{100, 100, 0, 0};

Input click(Kind kind, KeyModifiers modifiers = {})
{
    RemoteInput input;
    input.kind = kind;
    input.modifiers = modifiers;
    return Input{input};
}

struct QueueCase
{
    const char *name;
    QList<ViewerMessage> messages;
    // What the desktop is asked, pass by pass ("--" ends a pass).
    QStringList calls;
    qsizetype typeLimit = std::numeric_limits<qsizetype>::max();
};

void PrintTo(const QueueCase &row, std::ostream *out)
{
    *out << row.name;
}

class HostInputQueueOrder : public ::testing::TestWithParam<QueueCase>
{
protected:
    void SetUp() override { MacInput::setLeftDown(false); }
    void TearDown() override { MacInput::setLeftDown(false); }
};

TEST_P(HostInputQueueOrder, Passes_InjectInOrderWithinTheirShareOfText)
{
    RecordingDesktop desktop;
    desktop.typeLimit = GetParam().typeLimit;
    HostInputQueue queue;
    for (const ViewerMessage &message : GetParam().messages)
        queue.append(message);
    for (int pass = 0; pass < 20 && !queue.isEmpty(); ++pass) {
        queue.applyPass(desktop, geometry);
        desktop.calls << QStringLiteral("--");
    }
    EXPECT_TRUE(queue.isEmpty());
    EXPECT_EQ(desktop.calls, GetParam().calls);
}

const QString a32(32, u'a');

INSTANTIATE_TEST_SUITE_P(
    Table, HostInputQueueOrder,
    ::testing::Values(
        QueueCase{"LongTextInSlicesTheClickBehindItWaits",
                  {Text{QString(70, u'a')}, click(Kind::down), click(Kind::up)},
                  {"text " + a32, "--", "text " + a32, "--", "text aaaaaa", "warp 0,0", "mouse moved 0,0 state 1",
                   "warp 0,0", "mouse leftDown 0,0 state 1", "warp 0,0", "mouse leftUp 0,0 state 1", "--"}},
        QueueCase{"TextsShareOnePassesBudget",
                  {Text{QString(20, u'a')}, Key{"enter", "", true}, Text{QString(20, u'b')}},
                  {"text " + QString(20, u'a'), "key enter down", "text " + QString(12, u'b'), "--",
                   "text " + QString(8, u'b'), "--"}},
        QueueCase{"DesktopShortOfKeycodesGoesOnNextPass",
                  {Text{"abcdefg"}, Key{"tab", "", true}},
                  {"text abc", "--", "text def", "--", "text g", "key tab down", "--"},
                  3},
        QueueCase{"WindowsLineEndStaysInOneSlice",
                  {Text{QString(31, u'a') + "\r\nb"}},
                  {"text " + QString(31, u'a') + "\r\n", "--", "text b", "--"}},
        QueueCase{"ShortcutAndClickHoldTheirModifiers",
                  {Key{"", "a", true, {KeyModifier::Control}}, Key{"", "a", false, {KeyModifier::Control}},
                   click(Kind::up, {KeyModifier::Shift})},
                  {"hold control", "text a", "hold ", "hold shift", "warp 0,0", "mouse leftUp 0,0 state 1", "hold ",
                   "--"}},
        QueueCase{"PlainKeyTypesLikeTextItsReleaseNothing",
                  {Key{"", "xy", true}, Key{"", "xy", false}, Close{}, Caps{}},
                  {"text xy", "--"}}),
    [](const auto &info) { return std::string(info.param.name); });

// Everything a viewer sends to be typed (text, keys that type characters, shortcuts) shares one
// budget per pass, and what waits is bounded: a message is taken whole, however long, when it
// fits in what is left, and dropped whole when it does not, so neither time nor memory runs away
// and no text is typed in part.
struct BudgetCase
{
    const char *name;
    std::function<QList<ViewerMessage>()> messages;
    qsizetype typed;  // characters in all
    QString first;    // the first character typed and the last one
    QString last;
    QString held = {}; // the modifiers held around every piece typed
};

void PrintTo(const BudgetCase &row, std::ostream *out)
{
    *out << row.name;
}

class HostInputQueueBudget : public ::testing::TestWithParam<BudgetCase>
{
};

TEST_P(HostInputQueueBudget, Passes_TypeWithinTheBudget_WhatWaitsIsBounded)
{
    const BudgetCase &row = GetParam();
    RecordingDesktop desktop;
    HostInputQueue queue;
    for (const ViewerMessage &message : row.messages())
        queue.append(message);
    QString typed;
    int passes = 0;
    while (!queue.isEmpty() && passes < 1000) {
        desktop.calls.clear();
        queue.applyPass(desktop, geometry);
        ++passes;
        qsizetype thisPass = 0;
        QString held;
        for (const QString &call : std::as_const(desktop.calls)) {
            if (call.startsWith(QStringLiteral("hold ")))
                held = call.mid(5);
            if (!call.startsWith(QStringLiteral("text ")))
                continue;
            EXPECT_EQ(held, row.held) << call.toStdString();
            typed += call.mid(5);
            thisPass += call.size() - 5;
        }
        ASSERT_LE(thisPass, HostInputQueue::charactersPerPass) << "pass " << passes;
    }
    EXPECT_TRUE(queue.isEmpty());
    EXPECT_EQ(typed.size(), row.typed);
    EXPECT_EQ(passes, (row.typed + HostInputQueue::charactersPerPass - 1) / HostInputQueue::charactersPerPass);
    EXPECT_EQ(typed.left(1), row.first);
    EXPECT_EQ(typed.right(1), row.last);
}

QList<ViewerMessage> texts(std::initializer_list<std::pair<qsizetype, char16_t>> pieces)
{
    QList<ViewerMessage> messages;
    for (const auto &[length, character] : pieces)
        messages << Text{QString(length, QChar(character))};
    return messages;
}

const qsizetype allThatWaits = HostInputQueue::maxPendingCharacters;

INSTANTIATE_TEST_SUITE_P(
    Table, HostInputQueueBudget,
    ::testing::Values(
        BudgetCase{"LongerThanOneMessageMayBeTypedWholeInSlices", [] { return texts({{3000, u'x'}}); }, 3000, "x", "x"},
        BudgetCase{"MessageBeyondWhatIsLeftDroppedWhole",
                   [] { return texts({{8000, u'x'}, {500, u'y'}, {192, u'z'}}); },
                   allThatWaits,
                   "x",
                   "z"},
        // 700 KB of text, as a rogue viewer sent it, then text that fits.
        BudgetCase{"RogueMegabyteDroppedWhatFollowsTaken",
                   [] {
                       return texts({{700 * 1024, u'x'}, {1024, u'a'}, {1024, u'b'}, {1024, u'c'}, {1024, u'd'},
                                     {1024, u'e'}, {1024, u'f'}, {1024, u'g'}, {1024, u'h'}, {1024, u'i'}});
                   },
                   allThatWaits,
                   "a",
                   "h"},
        // 420 shortcuts each carrying 1024 characters: as much as text may wait, typed with the
        // modifiers held, 32 characters a pass.
        BudgetCase{"ShortcutFloodSharesTheBudget",
                   [] {
                       QList<ViewerMessage> messages;
                       for (int i = 0; i < 420; ++i)
                           messages << Key{"", QString(1024, QChar(u'a' + i % 26)), true, {KeyModifier::Control}};
                       return messages;
                   },
                   allThatWaits,
                   "a",
                   "h",
                   "control"},
        BudgetCase{"KeyTypingCharactersSharesTheBudget",
                   [] { return QList<ViewerMessage>{Key{"", QString(5000, u'k'), true}, Text{QString(5000, u't')}}; },
                   5000,
                   "k",
                   "k"}),
    [](const auto &info) { return std::string(info.param.name); });

// However a session ends, what its viewer's input pressed and did not release is let go of:
// the buttons where the pointer last was, the special keys still down, then every modifier.
struct HeldCase
{
    const char *name;
    QList<ViewerMessage> messages;
    QStringList released;
};

void PrintTo(const HeldCase &row, std::ostream *out)
{
    *out << row.name;
}

class HostInputQueueHeld : public ::testing::TestWithParam<HeldCase>
{
protected:
    void SetUp() override { MacInput::setLeftDown(false); }
    void TearDown() override { MacInput::setLeftDown(false); }
};

Input pointer(Kind kind, double x, double y, std::int64_t button = 0, KeyModifiers modifiers = {})
{
    RemoteInput input;
    input.kind = kind;
    input.x = x;
    input.y = y;
    input.button = button;
    input.modifiers = modifiers;
    return Input{input};
}

TEST_P(HostInputQueueHeld, ReleaseHeld_LetsGoOfWhatIsStillPressed_Once)
{
    RecordingDesktop desktop;
    HostInputQueue queue;
    for (const ViewerMessage &message : GetParam().messages)
        queue.append(message);
    queue.applyPass(desktop, geometry);
    ASSERT_TRUE(queue.isEmpty());
    desktop.calls.clear();

    queue.releaseHeld(desktop);
    EXPECT_EQ(desktop.calls, GetParam().released);
    EXPECT_FALSE(MacInput::leftDown());
    desktop.calls.clear();
    queue.releaseHeld(desktop);
    EXPECT_TRUE(desktop.calls.isEmpty());
}

INSTANTIATE_TEST_SUITE_P(
    Table, HostInputQueueHeld,
    ::testing::Values(
        HeldCase{"NothingAppliedLeavesTheDesktopAlone", {}, {}},
        HeldCase{"ReleasedAlreadyOnlyModifiersLetGo",
                 {pointer(Kind::down, 0.1, 0.1), pointer(Kind::up, 0.1, 0.1), Key{"enter", "", true},
                  Key{"enter", "", false}},
                 {"hold "}},
        HeldCase{"LeftButtonReleasedWhereThePointerWent",
                 {pointer(Kind::down, 0.25, 0.5, 0, {KeyModifier::Shift}), pointer(Kind::move, 0.75, 0.5)},
                 {"warp 75,50", "mouse leftUp 75,50 state 1", "hold "}},
        HeldCase{"RightButtonAndSpecialKeysStillDown",
                 {pointer(Kind::down, 0.5, 0.5, 1), Key{"ArrowLeft", "", true, {KeyModifier::Control}},
                  Key{"f5", "", true}, Key{"tab", "", true}, Key{"tab", "", false}},
                 {"key arrowleft up", "key f5 up", "warp 50,50", "mouse rightUp 50,50 state 1", "hold "}},
        HeldCase{"AnyOtherButtonNumberPressedTheLeft",
                 {pointer(Kind::down, 0.5, 0.5, 7)},
                 {"warp 50,50", "mouse leftUp 50,50 state 1", "hold "}},
        HeldCase{"TextHoldsNothing", {Text{"hi"}, Key{"", "c", true, {KeyModifier::Control}}}, {"hold "}}),
    [](const auto &info) { return std::string(info.param.name); });

} // namespace
