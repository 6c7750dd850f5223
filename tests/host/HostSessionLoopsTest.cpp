// The host session's two loops against canned switchboard answers: held polls and paced pushes
// to a switchboard that announced holds, today's cadence to one that did not, input applied the
// moment its poll returns, and a push the viewer did not take followed by a whole picture.
#include "CannedSwitchboard.h"
#include "JpegTestImage.h"
#include "MacHostServiceFakes.h"
#include "RecordingDesktop.h"
#include "ViewerAnswer.h"

#include "HostSession.h"
#include "KivrenAPI.h"
#include "MacInput.h"
#include "OwnedTask.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QTest>

#include <gtest/gtest.h>

namespace {

constexpr auto pause = std::chrono::milliseconds(40);
const QByteArray holdingClaim = R"({"ok":true,"maxWaitMs":25000})";
const QByteArray taken = R"({"ok":true,"taken":true})";
const QByteArray notTaken = R"({"ok":true,"taken":false})";

class HostSessionLoopsTest : public ::testing::Test
{
protected:
    HostSessionLoopsTest()
        : api(board.origin())
    {
        MacInput::setLeftDown(false);
    }

    ~HostSessionLoopsTest() override
    {
        session.reset();
        QTest::qWait(20);
        MacInput::setLeftDown(false);
    }

    void start(DesktopBackend *desktop)
    {
        HostSession::Options options;
        options.api = &api;
        options.desktop = desktop;
        options.keys = {"s1", "t1"};
        options.pause = pause;
        session.start(std::move(options));
    }

    static bool waitFor(const std::function<bool()> &condition) { return QTest::qWaitFor(condition, 10000); }

    QList<CannedSwitchboard::Request> requests(const char *path) const { return board.requests(QString::fromLatin1(path)); }
    // The pictures and tiles pushed, in order.
    QStringList pictureKinds() const
    {
        QStringList kinds;
        for (const CannedSwitchboard::Request &push : requests("push")) {
            if (push.body.value("kind").toString() != QStringLiteral("json"))
                kinds << push.body.value("kind").toString();
        }
        return kinds;
    }

    CannedSwitchboard board;
    KivrenAPI api;
    FakeDesktop desktop;
    OwnedTask<HostSession> session;
};

// A still screen costs one held poll and nothing else: no further capture, push or poll.
TEST_F(HostSessionLoopsTest, StillScreen_OnlyTheHeldPoll)
{
    board.setReply(QStringLiteral("claim"), QJsonDocument::fromJson(holdingClaim).object());
    board.setReplies(QStringLiteral("push"), {{200, "{}"}, {200, taken}});
    board.hold(QStringLiteral("poll"));
    desktop.mayHaveChanged = false;
    start(&desktop);
    ASSERT_TRUE(waitFor([&] { return pictureKinds().size() == 1 && board.heldCount() == 1; }));
    EXPECT_EQ(session->holdMs(), 25000);
    EXPECT_EQ(requests("poll").at(0).bytes, R"({"role":"host","sessionId":"s1","since":0,"token":"t1","waitMs":25000})");
    // The picture is a paced push: "waitMs" after its payload.
    EXPECT_TRUE(requests("push").at(1).bytes.endsWith(R"(","waitMs":25000})"));
    // The hello is not paced: it is answered at once, whoever takes it.
    EXPECT_FALSE(requests("push").at(0).bytes.contains("waitMs"));

    const int captures = desktop.captures;
    const qsizetype before = board.requests().size();
    QTest::qWait(20 * HostSession::changeCheckInterval.count());
    EXPECT_EQ(board.requests().size(), before);
    EXPECT_EQ(desktop.captures, captures);
}

// A desktop that cannot tell whether it drew anything is captured and compared once a frame,
// not over and over: an unchanged capture is followed by the frame's wait as nothing is.
TEST_F(HostSessionLoopsTest, DesktopThatCannotTell_CapturedAtMostOnceAFrame)
{
    board.setReply(QStringLiteral("claim"), QJsonDocument::fromJson(holdingClaim).object());
    board.setReplies(QStringLiteral("push"), {{200, "{}"}, {200, taken}});
    board.hold(QStringLiteral("poll"));
    desktop.mayHaveChanged = true;
    start(&desktop);
    ASSERT_TRUE(waitFor([&] { return pictureKinds().size() == 1; }));

    const int captures = desktop.captures;
    constexpr int frames = 20;
    QTest::qWait(frames * HostSession::changeCheckInterval.count());
    EXPECT_LE(desktop.captures - captures, frames + 1);
    EXPECT_EQ(pictureKinds().size(), 1);
}

// The viewer's input is applied as soon as its poll returns, while the picture loop's push is
// still held waiting for the viewer to take it.
TEST_F(HostSessionLoopsTest, Input_AppliedWhenThePollReturns_WithoutWaitingForAPicture)
{
    board.setReply(QStringLiteral("claim"), QJsonDocument::fromJson(holdingClaim).object());
    board.setReplies(QStringLiteral("push"), {{200, "{}"}, {200, taken, true}});
    board.setReplies(QStringLiteral("poll"), {{200, "{}", true}});
    start(&desktop);
    ASSERT_TRUE(waitFor([&] { return board.heldCount() == 2; }));

    board.setReplies(QStringLiteral("poll"), {{200, "{}", true}});
    // Only the poll is answered: the held push stays where it is.
    const QList<CannedSwitchboard::Request> before = requests("poll");
    board.releaseHeldOf(QStringLiteral("poll"), 200, answerWith({{{"type", "input"}, {"kind", "move"}, {"x", 0.5}, {"y", 0.5}}}));
    ASSERT_TRUE(waitFor([&] { return desktop.events.contains(QStringLiteral("warp 766,511")); }));
    EXPECT_EQ(pictureKinds().size(), 1);
    EXPECT_TRUE(waitFor([&] { return requests("poll").size() == before.size() + 1; }));
}

// A push the viewer did not take (a newer picture replaced it, the wait ran out) leaves the
// viewer with some other picture: tiles would not apply to it, so the next push is whole, even
// of a screen that holds still.
TEST_F(HostSessionLoopsTest, PushNotTaken_NextPushIsWhole)
{
    RecordingDesktop screen;
    screen.image = JpegTestImage::quadrants(320, 200);
    board.setReply(QStringLiteral("claim"), QJsonDocument::fromJson(holdingClaim).object());
    board.setReplies(QStringLiteral("poll"),
                     {{200, answerWith({{{"type", "caps"}, {"features", QJsonArray{"tiles"}}}})}, {200, "{}", true}});
    board.setReplies(QStringLiteral("push"), {{200, "{}"}, {200, taken}});
    start(&screen);
    ASSERT_TRUE(waitFor([&] { return session->peerSupports(u"tiles") && pictureKinds().size() == 1; }));

    // A small change goes out as tiles; the viewer never takes them.
    board.setReplies(QStringLiteral("push"), {{200, notTaken}, {200, taken}});
    ScreenImage changed = JpegTestImage::quadrants(320, 200);
    std::fill_n(const_cast<std::uint8_t *>(changed.pixels) + 50 * changed.stride + 100 * 4, 40, std::uint8_t(0xf0));
    screen.image = changed;
    ASSERT_TRUE(waitFor([&] { return pictureKinds().size() == 3; }));
    EXPECT_EQ(pictureKinds(), (QStringList{"jpeg", "tiles", "jpeg"}));
    QTest::qWait(10 * HostSession::changeCheckInterval.count());
    EXPECT_EQ(pictureKinds().size(), 3);
}

// A switchboard that announced no holds (its claim answers {"ok":true}) gets the polls and
// pushes it always got: no "waitMs", and a pause after each.
TEST_F(HostSessionLoopsTest, OldSwitchboard_PollsAndPushesWithAPauseBetween)
{
    board.setReply(QStringLiteral("claim"), QJsonObject{{"ok", true}});
    QElapsedTimer clock;
    clock.start();
    start(&desktop);
    ASSERT_TRUE(waitFor([&] { return requests("poll").size() >= 5 && pictureKinds().size() >= 1; }));
    const qint64 took = clock.elapsed();
    EXPECT_EQ(session->holdMs(), std::nullopt);
    for (const CannedSwitchboard::Request &request : board.requests())
        EXPECT_FALSE(request.bytes.contains("waitMs")) << request.bytes.constData();
    // Each poll but the first followed a pause.
    EXPECT_GE(took, 4 * pause.count());
    EXPECT_LE(requests("poll").size(), took / pause.count() + 1);
}

} // namespace
