// The host's input queue with a recording desktop: order, slices of text per pass, limits.
#include "DisplayGeometry.h"
#include "HostInputQueue.h"
#include "MacInput.h"
#include "RecordingDesktop.h"

#include <gtest/gtest.h>

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

// A viewer may send any amount: one message types at most the text limit, and text beyond
// the pending limit is dropped as it comes, so neither time nor memory runs away.
TEST(HostInputQueue, Limits_OneMessageAndAllThatWaits)
{
    RecordingDesktop desktop;
    HostInputQueue queue;
    // 700 KB of text, as a rogue viewer sent it.
    queue.append(Text{QString(700 * 1024, u'x')});
    for (int i = 0; i < 8; ++i)
        queue.append(Text{QString(maxTextCharacters, u'y')});
    qsizetype typed = 0;
    int passes = 0;
    while (!queue.isEmpty() && passes < 1000) {
        queue.applyPass(desktop, geometry);
        ++passes;
    }
    for (const QString &call : desktop.calls)
        typed += call.size() - QStringLiteral("text ").size();
    EXPECT_EQ(typed, HostInputQueue::maxPendingCharacters);
    EXPECT_EQ(passes, HostInputQueue::maxPendingCharacters / HostInputQueue::charactersPerPass);
    EXPECT_TRUE(desktop.calls.first().endsWith(u'x'));
    EXPECT_TRUE(desktop.calls.last().endsWith(u'y'));
}

} // namespace
