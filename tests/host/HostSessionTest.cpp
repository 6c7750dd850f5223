// One host session on its own, against canned switchboard answers: what it sends byte for
// byte, how it applies the viewer's messages, and silence once stopped.
#include "CannedSwitchboard.h"
#include "JpegTestImage.h"
#include "MacHostServiceFakes.h"
#include "RecordingDesktop.h"
#include "ViewerAnswer.h"

#include "Base64.h"
#include "HostSession.h"
#include "KivrenAPI.h"
#include "MacCapture.h"
#include "MacInput.h"
#include "OwnedTask.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QTest>

#include <gtest/gtest.h>

namespace {

QByteArray payloadOf(const CannedSwitchboard::Request &request)
{
    return Base64::decodeStrict(request.body.value("payload").toString().toLatin1()).value_or(QByteArray());
}

class HostSessionTest : public ::testing::Test
{
protected:
    HostSessionTest()
        : api(board.origin())
    {
        MacInput::setLeftDown(false);
    }

    ~HostSessionTest() override
    {
        session.reset();
        QTest::qWait(20);
        MacInput::setLeftDown(false);
    }

    void start(SessionFeatures offered = HostSession::offeredFeatures(), bool pushEveryPass = false)
    {
        HostSession::Options options;
        options.api = &api;
        options.desktop = sessionDesktop;
        options.keys = {"s1", "t1"};
        options.pause = std::chrono::milliseconds(20);
        options.offered = std::move(offered);
        options.pushEveryPass = pushEveryPass;
        options.onClosed = [this] { ++closes; };
        session.start(std::move(options));
    }

    static bool waitFor(const std::function<bool()> &condition) { return QTest::qWaitFor(condition, 10000); }

    qsizetype pictures() const
    {
        qsizetype count = 0;
        for (const CannedSwitchboard::Request &push : board.requests(QStringLiteral("push")))
            count += push.body.value("kind").toString() == QStringLiteral("jpeg");
        return count;
    }
    // Lets `passes` more host passes (each ends with its poll) go by.
    bool passes(int passes)
    {
        const qsizetype target = board.requests(QStringLiteral("poll")).size() + passes;
        return waitFor([&] { return board.requests(QStringLiteral("poll")).size() >= target; });
    }

    CannedSwitchboard board;
    KivrenAPI api;
    FakeDesktop desktop;
    DesktopBackend *sessionDesktop = &desktop;
    int closes = 0;
    OwnedTask<HostSession> session;
};

TEST_F(HostSessionTest, Run_ClaimsGreetsStreamsAndAppliesTheViewersMessages)
{
    board.setReplies(QStringLiteral("poll"),
                     {{200, answerWith({{{"type", "input"}, {"kind", "move"}, {"x", 0.5}, {"y", 0.5}},
                                        {{"type", "caps"}, {"features", QJsonArray{"tiles"}}}})},
                      {200, "{}"}});
    start();
    ASSERT_TRUE(waitFor([&] { return board.requests(QStringLiteral("poll")).size() >= 2; }));

    const QList<CannedSwitchboard::Request> requests = board.requests();
    ASSERT_GE(requests.size(), 4);
    EXPECT_EQ(requests[0].path, "claim");
    EXPECT_EQ(requests[0].bytes, R"({"sessionId":"s1","sessionToken":"t1"})");
    // The hello as it always was (the display is 1512 x 982 points), naming the host's additions:
    // {"features":["hover","keys","modifiers"],"height":982,"platform":"macos","type":"hello","width":1512}
    EXPECT_EQ(requests[1].path, "push");
    EXPECT_EQ(requests[1].bytes,
              R"({"kind":"json","role":"host","sessionId":"s1","token":"t1","payload":"eyJmZWF0dXJlcyI6WyJob3ZlciIsImtleXMiLCJtb2RpZmllcnMiXSwiaGVpZ2h0Ijo5ODIsInBsYXRmb3JtIjoibWFjb3MiLCJ0eXBlIjoiaGVsbG8iLCJ3aWR0aCI6MTUxMn0="})");
    // Then the picture and the polls, each loop at its own pace: to a switchboard that announced
    // no holds, neither asks to be held.
    ASSERT_TRUE(waitFor([&] { return pictures() >= 1; }));
    const CannedSwitchboard::Request picture = board.requests(QStringLiteral("push")).at(1);
    EXPECT_TRUE(picture.bytes.startsWith(R"({"kind":"jpeg","role":"host","sessionId":"s1","token":"t1","payload":")"));
    EXPECT_TRUE(picture.bytes.endsWith("\"}"));
    EXPECT_TRUE(payloadOf(picture).startsWith("\xff\xd8\xff"));
    EXPECT_EQ(board.requests(QStringLiteral("poll")).at(0).bytes, R"({"role":"host","sessionId":"s1","since":0,"token":"t1"})");

    EXPECT_TRUE(desktop.events.contains(QStringLiteral("warp 766,511")));
    EXPECT_EQ(session->geometry(), (DisplayGeometry{1512, 982, 10, 20}));
    EXPECT_TRUE(session->peerSupports(u"tiles"));
    EXPECT_TRUE(session.running());

    // A close ends it at once: the rest of that answer is not applied, nothing more is captured.
    board.setReplies(QStringLiteral("poll"),
                     {{200, answerWith({{{"type", "close"}}, {{"type", "input"}, {"kind", "move"}, {"x", 0}, {"y", 0}}})},
                      {200, "{}"}});
    ASSERT_TRUE(waitFor([&] { return !session.running(); }));
    EXPECT_EQ(closes, 1);
    EXPECT_FALSE(desktop.events.contains(QStringLiteral("warp 10,20")));
    const int captures = desktop.captures;
    QTest::qWait(100);
    EXPECT_EQ(desktop.captures, captures);
}

// The pointer goes only to a viewer that named "cursor": its shape once, then its position
// whenever it moves, nothing while it stays; after a push the switchboard refused, the shape again.
TEST_F(HostSessionTest, Cursor_ShapeOnceThenMovesOnlyToAViewerThatNamedIt)
{
    QImage arrow(12, 20, QImage::Format_ARGB32_Premultiplied);
    arrow.fill(QColor(255, 255, 255));
    desktop.pointer = DesktopCursor{QPointF(10 + 756, 20 + 491), 7, arrow, QPoint(1, 2)};
    const auto cursorPushes = [&] {
        QList<QJsonObject> found;
        for (const CannedSwitchboard::Request &push : board.requests(QStringLiteral("push"))) {
            const QJsonObject message = QJsonDocument::fromJson(payloadOf(push)).object();
            if (message.value("type") == QLatin1String("cursor"))
                found << message;
        }
        return found;
    };
    board.setReplies(QStringLiteral("poll"), {{200, "{}"}});
    start();
    ASSERT_TRUE(passes(3));
    EXPECT_TRUE(cursorPushes().isEmpty()) << "the viewer named nothing";

    board.setReplies(QStringLiteral("poll"),
                     {{200, answerWith({{{"type", "caps"}, {"features", QJsonArray{"cursor", "tiles"}}}})}, {200, "{}"}});
    ASSERT_TRUE(waitFor([&] { return !cursorPushes().isEmpty(); }));
    const QJsonObject first = cursorPushes().value(0);
    EXPECT_EQ(first.value("x").toDouble(), 0.5);
    EXPECT_EQ(first.value("y").toDouble(), 0.5);
    EXPECT_EQ(first.value("hotX"), 1);
    EXPECT_EQ(first.value("hotY"), 2);
    QImage shape;
    ASSERT_TRUE(shape.loadFromData(QByteArray::fromBase64(first.value("png").toString().toLatin1()), "PNG"));
    EXPECT_EQ(shape.size(), arrow.size());

    ASSERT_TRUE(passes(3));
    EXPECT_EQ(cursorPushes().size(), 1) << "a pointer that stays is not sent again";

    desktop.pointer->position = QPointF(10, 20);
    desktop.pointer->image = QImage();
    ASSERT_TRUE(waitFor([&] { return cursorPushes().size() == 2; }));
    EXPECT_EQ(cursorPushes().value(1), (QJsonObject{{"type", "cursor"}, {"x", 0}, {"y", 0}}));

    board.setReplies(QStringLiteral("push"), {{500, "{}"}, {200, "{}"}});
    desktop.pointer->position = QPointF(10 + 1512, 20);
    ASSERT_TRUE(waitFor([&] { return cursorPushes().size() == 4; }));
    EXPECT_FALSE(cursorPushes().value(2).contains("png"));
    EXPECT_TRUE(cursorPushes().value(3).contains("png")) << "after a refused push the shape goes again";
    EXPECT_EQ(cursorPushes().value(3).value("x").toDouble(), 1.0);
}

TEST_F(HostSessionTest, Hello_NamesTheOfferedFeatures)
{
    start({"tiles", "modifiers"});
    ASSERT_TRUE(waitFor([&] { return !board.requests(QStringLiteral("push")).isEmpty(); }));
    EXPECT_EQ(QJsonDocument::fromJson(payloadOf(board.requests(QStringLiteral("push")).value(0))).object(),
              (QJsonObject{{"type", "hello"},
                           {"width", 1512},
                           {"height", 982},
                           {"platform", "macos"},
                           {"features", QJsonArray{"modifiers", "tiles"}}}));
}

TEST_F(HostSessionTest, Input_IsPlacedOnTheDisplay_OnceADesktopWithoutOneHasIt)
{
    desktop.bounds = QRectF();
    board.hold(QStringLiteral("poll"));
    start();
    ASSERT_TRUE(waitFor([&] { return board.heldCount() == 1; }));
    EXPECT_EQ(session->geometry(), (DisplayGeometry{0, 0, 0, 0}));

    // The desktop's session came up while the viewer was already there.
    desktop.bounds = QRectF(10, 20, 1512, 982);
    board.releaseHeld(200, answerWith({{{"type", "input"}, {"kind", "move"}, {"x", 0.5}, {"y", 0.5}}}));
    ASSERT_TRUE(waitFor([&] { return desktop.events.contains(QStringLiteral("warp 766,511")); })) << desktop.events.join(u'|').toStdString();
    EXPECT_EQ(session->geometry(), (DisplayGeometry{1512, 982, 10, 20}));
}

// However the session ends, the button and the key its viewer pressed and did not release are
// let go of, and every modifier: a viewer gone mid-drag leaves nothing held.
enum class SessionEnd { closeMessage, sessionForgotten, stoppedByItsOwner };

struct EndCase
{
    const char *name;
    SessionEnd end;
};

void PrintTo(const EndCase &row, std::ostream *out)
{
    *out << row.name;
}

class HostSessionEnd : public HostSessionTest, public ::testing::WithParamInterface<EndCase>
{
};

TEST_P(HostSessionEnd, HeldInput_ReleasedWhenTheSessionEnds)
{
    const QByteArray presses = answerWith({{{"type", "input"}, {"kind", "down"}, {"x", 0.5}, {"y", 0.5}},
                                           {{"type", "key"}, {"codeName", "arrowleft"}, {"key", ""}, {"down", true}}});
    QList<CannedSwitchboard::Reply> polls{{200, presses}};
    switch (GetParam().end) {
    case SessionEnd::closeMessage:
        polls << CannedSwitchboard::Reply{200, answerWith({{{"type", "close"}}})};
        break;
    case SessionEnd::sessionForgotten:
        polls << CannedSwitchboard::Reply{410, R"({"error":"The session has ended"})"};
        break;
    case SessionEnd::stoppedByItsOwner:
        polls << CannedSwitchboard::Reply{200, "{}"};
        break;
    }
    board.setReplies(QStringLiteral("poll"), polls);
    start();
    ASSERT_TRUE(waitFor([&] { return desktop.events.contains(QStringLiteral("key arrowleft down")); }));
    if (GetParam().end == SessionEnd::stoppedByItsOwner) {
        EXPECT_TRUE(session.running());
        session.reset();
    }
    ASSERT_TRUE(waitFor([&] { return !session.running(); }));

    const QStringList released{"key arrowleft up", "warp 766,511", "mouse 2 766,511 c1", "hold "};
    ASSERT_GE(desktop.events.size(), released.size());
    EXPECT_EQ(desktop.events.mid(desktop.events.size() - released.size()), released) << desktop.events.join(u'|').toStdString();
    EXPECT_FALSE(MacInput::leftDown());
}

INSTANTIATE_TEST_SUITE_P(Ends, HostSessionEnd,
                         ::testing::Values(EndCase{"CloseMessage", SessionEnd::closeMessage},
                                           EndCase{"SessionForgotten", SessionEnd::sessionForgotten},
                                           EndCase{"StoppedByItsOwner", SessionEnd::stoppedByItsOwner}),
                         [](const auto &info) { return std::string(info.param.name); });

// A still screen costs nothing after its first picture; a changed one goes out once.
TEST_F(HostSessionTest, Pictures_OnlyWhenTheScreenChanged)
{
    start();
    ASSERT_TRUE(waitFor([&] { return pictures() >= 1; }));
    ASSERT_TRUE(passes(3));
    EXPECT_EQ(pictures(), 1);

    // The desktop knows nothing was drawn: not even captured.
    desktop.mayHaveChanged = false;
    ASSERT_TRUE(passes(1));
    const int captures = desktop.captures;
    ASSERT_TRUE(passes(3));
    EXPECT_EQ(desktop.captures, captures);

    // Drawn over with the same pixels: captured, compared, not sent.
    desktop.mayHaveChanged = true;
    ASSERT_TRUE(passes(3));
    EXPECT_GT(desktop.captures, captures);
    EXPECT_EQ(pictures(), 1);

    desktop.shade = 0x20;
    ASSERT_TRUE(waitFor([&] { return pictures() >= 2; }));
    ASSERT_TRUE(passes(3));
    EXPECT_EQ(pictures(), 2);
}

// The viewer must not be left with an old picture of a screen that stays still: a refused
// push, and a new hello, send the unchanged screen again.
TEST_F(HostSessionTest, Pictures_UnchangedScreenSentAgain_AfterARefusedPushAndAfterAHello)
{
    desktop.mayHaveChanged = false;
    board.setReplies(QStringLiteral("push"), {{200, "{}"}, {503, R"({"error":"busy"})"}, {200, "{}"}});
    start();
    ASSERT_TRUE(waitFor([&] { return pictures() >= 2; }));
    ASSERT_TRUE(passes(3));
    EXPECT_EQ(pictures(), 2);

    desktop.bounds = QRectF(0, 0, 1280, 800);
    ASSERT_TRUE(waitFor([&] { return board.requests(QStringLiteral("push")).size() >= 5; }));
    ASSERT_TRUE(passes(3));
    const QList<CannedSwitchboard::Request> pushes = board.requests(QStringLiteral("push"));
    ASSERT_EQ(pushes.size(), 5);
    EXPECT_EQ(QJsonDocument::fromJson(payloadOf(pushes[3])).object().value("width"), 1280);
    EXPECT_EQ(pushes[4].body.value("kind"), "jpeg");
}

// The benchmarks' baseline: a picture on every pass, as if every screen changed all the time.
TEST_F(HostSessionTest, Pictures_EveryPass_WhenBenchmarkAsksForIt)
{
    desktop.mayHaveChanged = false;
    start(HostSession::offeredFeatures(), true);
    EXPECT_TRUE(waitFor([&] { return pictures() >= 3; }));
}

// --- Changed areas as tiles ---

constexpr int screenWidth = 320;
constexpr int screenHeight = 200;

// The four quadrants with `painted` in white over them.
ScreenImage screenWith(QRect painted = {}, int height = screenHeight, int width = screenWidth)
{
    ScreenImage image = JpegTestImage::quadrants(width, height);
    auto *pixels = const_cast<std::uint8_t *>(image.pixels);
    for (int y = painted.top(); y <= painted.bottom() && !painted.isEmpty(); ++y)
        for (int x = painted.left(); x <= painted.right(); ++x)
            std::fill_n(pixels + std::size_t(y) * image.stride + std::size_t(x) * 4, 3, std::uint8_t(0xf0));
    return image;
}

QByteArray capsAnswer(const QJsonArray &features)
{
    return answerWith({{{"type", "caps"}, {"features", features}}});
}

class HostSessionTilesTest : public HostSessionTest
{
protected:
    HostSessionTilesTest()
    {
        screen.image = screenWith();
        sessionDesktop = &screen;
    }

    // Starts a session whose viewer answers the hello with caps naming `features` (no caps at
    // all when null), and waits for its first picture.
    bool startWithViewer(const std::optional<QJsonArray> &features)
    {
        if (features)
            board.setReplies(QStringLiteral("poll"), {{200, capsAnswer(*features)}, {200, "{}"}});
        start();
        // The picture is made on the session's worker, at its own pace.
        return passes(2) && waitFor([&] { return pictures() >= 1; });
    }

    QList<CannedSwitchboard::Request> pushes() const { return board.requests(QStringLiteral("push")); }

    // Shows `image` and waits for the push that follows.
    std::optional<CannedSwitchboard::Request> show(const ScreenImage &image)
    {
        const qsizetype before = pushes().size();
        screen.image = image;
        if (!waitFor([&] { return pushes().size() > before; }))
            return std::nullopt;
        return pushes().at(before);
    }

    RecordingDesktop screen;
};

struct TilesCase
{
    const char *name;
    std::optional<QJsonArray> features; // none: the viewer sends no caps
    QRect painted;
    int height;
    const char *kind;
};

void PrintTo(const TilesCase &row, std::ostream *out)
{
    *out << row.name;
}

class HostSessionTilesKind : public HostSessionTilesTest, public testing::WithParamInterface<TilesCase>
{
};

// Only a viewer that named "tiles" gets them, and only for a small change of a picture it holds.
TEST_P(HostSessionTilesKind, Change_SentAsTilesOnlyWhenSmallAndNamed)
{
    ASSERT_TRUE(startWithViewer(GetParam().features));
    const std::optional<CannedSwitchboard::Request> push = show(screenWith(GetParam().painted, GetParam().height));
    ASSERT_TRUE(push);
    EXPECT_EQ(push->body.value("kind").toString(), QString::fromLatin1(GetParam().kind));
}

INSTANTIATE_TEST_SUITE_P(
    Viewers, HostSessionTilesKind,
    testing::Values(TilesCase{"NoCaps_Picture", std::nullopt, QRect(100, 50, 20, 10), screenHeight, "jpeg"},
                    TilesCase{"CapsWithoutTiles_Picture", QJsonArray{"keys"}, QRect(100, 50, 20, 10), screenHeight, "jpeg"},
                    TilesCase{"Tiles_SmallChange_Tiles", QJsonArray{"keys", "tiles"}, QRect(100, 50, 20, 10), screenHeight, "tiles"},
                    TilesCase{"Tiles_LargeChange_Picture", QJsonArray{"tiles"}, QRect(0, 0, 320, 120), screenHeight, "jpeg"},
                    TilesCase{"Tiles_OtherPictureSize_Picture", QJsonArray{"tiles"}, QRect(100, 50, 20, 10), 240, "jpeg"}),
    [](const auto &info) { return std::string(info.param.name); });

struct DrawnCase
{
    const char *name;
    int width;
    int height;
    QRect painted;
};

void PrintTo(const DrawnCase &row, std::ostream *out)
{
    *out << row.name;
}

class HostSessionTilesDrawn : public HostSessionTilesTest, public testing::WithParamInterface<DrawnCase>
{
};

// The viewer draws the tiles over the picture it holds: that must give the new screen as the
// picture shows it (scaled when the display is wide), and leave every pixel outside them as it was.
TEST_P(HostSessionTilesDrawn, Tiles_DrawnOverThePreviousPicture_GiveTheNewScreen)
{
    using namespace JpegTestImage;
    const DrawnCase &row = GetParam();
    screen.image = screenWith({}, row.height, row.width);
    ASSERT_TRUE(startWithViewer(QJsonArray{"tiles"}));
    ASSERT_TRUE(waitFor([&] { return session->peerSupports(u"tiles"); }));
    Decoded shown = decode(payloadOf(pushes().constLast()));
    ASSERT_GT(shown.width, 0);
    const int width = shown.width;
    const int height = shown.height;

    const ScreenImage now = screenWith(row.painted, row.height, row.width);
    std::vector<std::uint8_t> expected;
    {
        const std::optional<ScreenImage> picture = MacCapture::pictureImage(now, HostSession::pictureMaxWidth);
        ASSERT_TRUE(picture);
        ASSERT_EQ(QSize(picture->width, picture->height), QSize(width, height));
        for (int y = 0; y < height; ++y)
            expected.insert(expected.end(), picture->pixels + std::size_t(y) * picture->stride,
                            picture->pixels + std::size_t(y) * picture->stride + std::size_t(width) * 4);
    }
    const std::optional<CannedSwitchboard::Request> push = show(now);
    ASSERT_TRUE(push);
    ASSERT_EQ(push->body.value("kind").toString(), "tiles");
    const std::optional<SessionProtocol::HostMessage> message =
        SessionProtocol::decodeHostMessage({"tiles", payloadOf(*push), std::nullopt});
    ASSERT_TRUE(message);
    const auto &tiles = std::get<SessionProtocol::Tiles>(*message);
    EXPECT_EQ(tiles.pictureSize, QSize(width, height));

    const Decoded before = shown;
    QRect drawn;
    long long tilePixels = 0;
    for (const SessionProtocol::Tile &tile : tiles.tiles) {
        const Decoded part = decode(tile.jpeg);
        ASSERT_GT(part.width, 0);
        EXPECT_EQ(tile.position.x() % 16, 0);
        EXPECT_EQ(tile.position.y() % 16, 0);
        ASSERT_LE(tile.position.x() + part.width, width);
        ASSERT_LE(tile.position.y() + part.height, height);
        drawn |= QRect(tile.position, QSize(part.width, part.height));
        tilePixels += static_cast<long long>(part.width) * part.height;
        for (int y = 0; y < part.height; ++y)
            std::copy_n(part.rgb.data() + std::size_t(y) * part.width * 3, part.width * 3,
                        shown.rgb.data() + (std::size_t(tile.position.y() + y) * width + tile.position.x()) * 3);
    }
    EXPECT_LT(tilePixels, width * height / 4);

    // Within JPEG error of the new screen; where no tile fell, exactly the old picture.
    long long error = 0;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const std::uint8_t *p = expected.data() + (std::size_t(y) * width + x) * 4;
            const Rgb seen = shown.at(x, y);
            error += std::abs(seen.r - p[2]) + std::abs(seen.g - p[1]) + std::abs(seen.b - p[0]);
            if (!drawn.contains(x, y) && (x + y) % 7 == 0)
                ASSERT_TRUE(near(seen, before.at(x, y), 0)) << x << "," << y;
        }
    }
    EXPECT_LT(double(error) / (double(width) * height * 3), 3.0);
    const QPoint centre = QRect(row.painted.topLeft() * width / row.width, row.painted.size() * width / row.width).center();
    EXPECT_TRUE(near(shown.at(centre.x(), centre.y()), {0xf0, 0xf0, 0xf0}));
}

INSTANTIATE_TEST_SUITE_P(
    Screens, HostSessionTilesDrawn,
    testing::Values(DrawnCase{"Unscaled_AcrossQuadrants", screenWidth, screenHeight, QRect(150, 90, 30, 20)},
                    DrawnCase{"WideDisplay_InThePicturesPixels", 2560, 800, QRect(1210, 380, 140, 60)}),
    [](const auto &info) { return std::string(info.param.name); });

// Tiles the switchboard refused never reach the viewer: what follows is the whole picture,
// although the screen holds still.
TEST_F(HostSessionTilesTest, Tiles_Refused_WholePictureNext)
{
    ASSERT_TRUE(startWithViewer(QJsonArray{"tiles"}));
    ASSERT_TRUE(waitFor([&] { return session->peerSupports(u"tiles"); }));
    board.setReplies(QStringLiteral("push"),
                     {{429, R"({"error":"Too many changes are waiting for the viewer"})"}, {200, "{}"}});
    const std::optional<CannedSwitchboard::Request> refused = show(screenWith(QRect(100, 50, 20, 10)));
    ASSERT_TRUE(refused);
    ASSERT_EQ(refused->body.value("kind").toString(), "tiles");
    ASSERT_TRUE(waitFor([&] { return pushes().constLast().body.value("kind").toString() == "jpeg"; }));

    // Taken again: small changes go back to tiles.
    const std::optional<CannedSwitchboard::Request> next = show(screenWith(QRect(200, 150, 4, 4)));
    ASSERT_TRUE(next);
    EXPECT_EQ(next->body.value("kind").toString(), "tiles");
}

struct PollFailureCase
{
    const char *name;
    int status;
    bool ends;
};

void PrintTo(const PollFailureCase &row, std::ostream *out)
{
    *out << row.name;
}

class HostSessionPollFailure : public HostSessionTest, public testing::WithParamInterface<PollFailureCase>
{
};

// A switchboard that no longer knows the session ends it as a close would; a failure that may
// pass leaves it running.
TEST_P(HostSessionPollFailure, Poll_OnlyForgottenSessionEnds)
{
    board.setReply(QStringLiteral("poll"), {{"error", "refused"}}, GetParam().status);
    start();
    ASSERT_TRUE(waitFor([&] { return board.requests(QStringLiteral("poll")).size() >= 3 || !session.running(); }));
    if (GetParam().ends) {
        EXPECT_FALSE(session.running());
        EXPECT_EQ(closes, 1);
        EXPECT_EQ(board.requests(QStringLiteral("poll")).size(), 1);
    } else {
        EXPECT_TRUE(session.running());
        EXPECT_EQ(closes, 0);
    }
}

INSTANTIATE_TEST_SUITE_P(Statuses, HostSessionPollFailure,
                         testing::Values(PollFailureCase{"UnknownSession404", 404, true},
                                         PollFailureCase{"Gone410", 410, true},
                                         PollFailureCase{"WrongToken403", 403, false},
                                         PollFailureCase{"Busy503", 503, false},
                                         PollFailureCase{"Failed500", 500, false}),
                         [](const auto &info) { return std::string(info.param.name); });

// A poll that times out does not end the session either.
TEST_F(HostSessionTest, Poll_TimedOut_SessionGoesOn)
{
    api.setTimeout(std::chrono::milliseconds(100));
    board.hold(QStringLiteral("poll"));
    start();
    ASSERT_TRUE(waitFor([&] { return board.requests(QStringLiteral("poll")).size() >= 2; }));
    EXPECT_TRUE(session.running());
    EXPECT_EQ(closes, 0);
}

TEST_F(HostSessionTest, LongText_TypedPassByPassBeforeTheClickBehindIt)
{
    board.setReplies(QStringLiteral("poll"),
                     {{200, answerWith({{{"type", "text"}, {"key", QString(100, u'a')}},
                                        {{"type", "input"}, {"kind", "down"}, {"x", 0}, {"y", 0}}})},
                      {200, "{}"}});
    start();
    ASSERT_TRUE(waitFor([&] { return desktop.events.contains(QStringLiteral("mouse 1 10,20 c1")); }));
    const QString slice(HostInputQueue::charactersPerPass, u'a');
    EXPECT_EQ(desktop.events.mid(0, 4),
              (QStringList{"text " + slice, "text " + slice, "text " + slice, "text aaaa"}));
    // Each slice had a pass of its own: a picture was taken for each.
    EXPECT_GE(desktop.captures, 4);
}

TEST_F(HostSessionTest, Stopped_AppliesNothingMore)
{
    board.hold(QStringLiteral("poll"));
    start();
    ASSERT_TRUE(waitFor([&] { return board.heldCount() == 1; }));
    const int captures = desktop.captures;

    session.reset();
    board.releaseHeld(200, answerWith({{{"type", "input"}, {"kind", "move"}}, {{"type", "close"}}}));
    QTest::qWait(150);

    EXPECT_TRUE(desktop.events.isEmpty());
    EXPECT_EQ(closes, 0);
    EXPECT_EQ(desktop.captures, captures);
}

} // namespace
