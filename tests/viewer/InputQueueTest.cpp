// The viewer's ordered input queue against a canned switchboard: one push at a time in order,
// coalescing while one is in flight, a stuck push abandoned after the limit, and the end of a
// session (cleared, or drained and closed).
#include "CannedSwitchboard.h"

#include "Base64.h"
#include "InputQueue.h"
#include "KivrenAPI.h"

#include <QJsonDocument>
#include <QTest>

#include <gtest/gtest.h>

#include <chrono>
#include <memory>

namespace {

using namespace SessionProtocol;
using namespace std::chrono_literals;
using Kind = RemoteInput::Kind;

Input pointer(Kind kind, double x, double deltaY = 0)
{
    return Input{RemoteInput{kind, x, 0, 0, 1, 0, deltaY, {}}};
}

// "move 0.1", "wheel 0.5 -44", "text ab", "key enter", "close", one per request, in order.
QString describe(const CannedSwitchboard::Request &request)
{
    if (request.path == QLatin1String("close"))
        return QStringLiteral("close");
    const auto bytes = Base64::decodeStrict(request.body.value("payload").toString().toLatin1());
    const QJsonObject message = QJsonDocument::fromJson(bytes.value_or(QByteArray())).object();
    const QString type = message.value("type").toString();
    if (type == QLatin1String("input")) {
        QString line = message.value("kind").toString() + u' ' + QString::number(message.value("x").toDouble());
        if (message.value("kind") == QLatin1String("wheel"))
            line += u' ' + QString::number(message.value("deltaY").toDouble());
        return line;
    }
    if (type == QLatin1String("text"))
        return QStringLiteral("text ") + message.value("key").toString();
    return type + u' ' + message.value("codeName").toString();
}

class InputQueueTest : public ::testing::Test
{
protected:
    InputQueueTest()
        : api(board.origin())
    {
    }

    ~InputQueueTest() override
    {
        lifetime.request_stop();
        queue.reset();
        QTest::qWait(20);
    }

    void make(std::chrono::milliseconds waitLimit = InputQueue::defaultWaitLimit, std::shared_ptr<SessionSeal> seal = {})
    {
        queue = std::make_shared<InputQueue>(InputQueue::Options{&api, {"s1", "t1"}, lifetime.get_token(), waitLimit, std::move(seal)});
    }

    QStringList sent() const
    {
        QStringList lines;
        for (const CannedSwitchboard::Request &request : board.requests())
            lines << describe(request);
        return lines;
    }

    static bool waitFor(const std::function<bool()> &condition) { return QTest::qWaitFor(condition, 10000); }

    CannedSwitchboard board;
    KivrenAPI api;
    std::stop_source lifetime;
    std::shared_ptr<InputQueue> queue;
};

TEST_F(InputQueueTest, WhileAPushIsInFlight_MovesWheelAndTextCoalesceNothingOvertakes)
{
    board.setReplies(QStringLiteral("push"), {{200, "{}", true}, {200, "{}"}});
    make();
    queue->enqueue(pointer(Kind::move, 0.1));
    ASSERT_TRUE(waitFor([&] { return board.heldCount() == 1; }));
    for (const ViewerMessage &message : QList<ViewerMessage>{
             pointer(Kind::move, 0.2), pointer(Kind::down, 0.3), pointer(Kind::move, 0.4), pointer(Kind::move, 0.5),
             pointer(Kind::wheel, 0.6, -40), pointer(Kind::wheel, 0.7, -4), Text{"a"}, Text{"b"}, Key{"enter", "", true, {}},
             Text{"c"}, pointer(Kind::move, 0.8)})
        queue->enqueue(message);
    QTest::qWait(100);
    EXPECT_EQ(board.requests().size(), 1);
    EXPECT_EQ(queue->waiting(), 8);

    board.releaseHeld(200, "{}");
    ASSERT_TRUE(waitFor([&] { return !queue->pushInFlight() && queue->waiting() == 0; }));
    EXPECT_EQ(sent(), (QStringList{"move 0.1", "move 0.2", "down 0.3", "move 0.5", "wheel 0.7 -44", "text ab", "key enter",
                                   "text c", "move 0.8"}));
}

TEST_F(InputQueueTest, StuckPush_AbandonedAfterTheLimitAndItsLateAnswerIgnored)
{
    board.setReplies(QStringLiteral("push"), {{200, "{}", true}, {200, "{}"}});
    make(300ms);
    queue->enqueue(pointer(Kind::down, 0.1));
    queue->enqueue(pointer(Kind::up, 0.1));
    ASSERT_TRUE(waitFor([&] { return board.heldCount() == 1; }));
    QTest::qWait(150);
    EXPECT_EQ(board.requests().size(), 1) << "the release went out before the wait was over";

    ASSERT_TRUE(waitFor([&] { return board.requests().size() == 2; }));
    EXPECT_EQ(queue->abandonedPushes(), 1);
    EXPECT_EQ(sent(), (QStringList{"down 0.1", "up 0.1"}));
    ASSERT_TRUE(waitFor([&] { return !queue->pushInFlight(); }));

    // The queue goes on as usual; the abandoned push's answer, coming at last, changes nothing.
    board.releaseHeld(200, "{}");
    queue->enqueue(pointer(Kind::move, 0.2));
    ASSERT_TRUE(waitFor([&] { return board.requests().size() == 3; }));
    QTest::qWait(100);
    EXPECT_EQ(sent(), (QStringList{"down 0.1", "up 0.1", "move 0.2"}));
}

// In an encrypted session a push not answered in time is sent again, byte for byte: the host drops
// the copy if the first did arrive, and every later frame would fail its check if it did not.
TEST_F(InputQueueTest, Sealed_StuckPushSentAgainUnchangedNotSkipped)
{
    const QByteArray key(32, '\x07');
    KeySchedule keys;
    keys.viewerToHost = key;
    keys.hostToViewer = key;
    board.setReplies(QStringLiteral("push"), {{200, "{}", true}, {200, "{}"}, {200, "{}"}});
    make(300ms, std::make_shared<SessionSeal>(SealedChannel(Role::viewer, keys, QByteArray(32, '\x01'))));
    queue->enqueue(pointer(Kind::down, 0.1));
    queue->enqueue(pointer(Kind::up, 0.1));
    ASSERT_TRUE(waitFor([&] { return board.requests().size() == 3; }));
    const QList<CannedSwitchboard::Request> pushes = board.requests();
    EXPECT_EQ(pushes[0].body.value("kind").toString(), QStringLiteral("sealed-json"));
    EXPECT_EQ(pushes[1].bytes, pushes[0].bytes);
    EXPECT_NE(pushes[2].bytes, pushes[0].bytes);
    board.releaseHeld(200, "{}");
}

TEST_F(InputQueueTest, Cleared_DropsWhatWaitsAndSendsNothingMore)
{
    board.setReplies(QStringLiteral("push"), {{200, "{}", true}, {200, "{}"}});
    make();
    queue->enqueue(pointer(Kind::down, 0.1));
    queue->enqueue(pointer(Kind::up, 0.1));
    ASSERT_TRUE(waitFor([&] { return board.heldCount() == 1; }));

    queue->clear();
    queue->enqueue(pointer(Kind::move, 0.2));
    board.releaseHeld(200, "{}");
    QTest::qWait(200);
    EXPECT_EQ(sent(), QStringList{"down 0.1"});
    EXPECT_FALSE(queue->pushInFlight());
}

struct DrainCase
{
    const char *name;
    // The push in flight is answered (true) or left hanging until it is abandoned.
    bool answered;
    QStringList sent;
};

void PrintTo(const DrainCase &row, std::ostream *out)
{
    *out << row.name;
}

class InputQueueDrain : public InputQueueTest, public ::testing::WithParamInterface<DrainCase>
{
};

// The user's End: what waits (a key release) still goes out, after the push before it, and the
// close comes last; a switchboard that holds pushes delays the close by the limit at most.
TEST_P(InputQueueDrain, CloseAfterDrain_SendsWhatWaitsThenCloses)
{
    board.setReplies(QStringLiteral("push"), {{200, "{}", true}, {200, "{}"}});
    make(300ms);
    queue->enqueue(Key{"arrowleft", "", true, {}});
    ASSERT_TRUE(waitFor([&] { return board.heldCount() == 1; }));
    queue->enqueue(Key{"arrowleft", "", false, {}});
    queue->closeAfterDrain();
    queue->enqueue(pointer(Kind::move, 0.9)); // too late: the session is ending
    if (GetParam().answered)
        board.releaseHeld(200, "{}");

    ASSERT_TRUE(waitFor([&] { return !board.requests(QStringLiteral("close")).isEmpty(); }));
    QTest::qWait(100);
    EXPECT_EQ(sent(), GetParam().sent);
    EXPECT_EQ(board.requests(QStringLiteral("close")).value(0).body, (QJsonObject{{"sessionId", "s1"}, {"token", "t1"}}));
}

INSTANTIATE_TEST_SUITE_P(Table, InputQueueDrain,
                         ::testing::Values(DrainCase{"Answered", true, {"key arrowleft", "key arrowleft", "close"}},
                                           DrainCase{"Abandoned", false, {"key arrowleft", "close"}}),
                         [](const auto &info) { return std::string(info.param.name); });

} // namespace
